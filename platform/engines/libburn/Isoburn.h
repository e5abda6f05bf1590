#pragma once

// libisoburn, xorriso's layer over libburn and libisofs, for the engine's files that call it.
// libisoburn.h declares libburn's structs outside the namespace that libburn.h puts them in when
// compiled as C++: to C++ they are other types, so they are handed over as they are.

#include <cstdint>

#include <libburn/libburn.h>
#include <libisofs/libisofs.h>
// After the two it builds on.
#include <libisoburn/libisoburn.h>

namespace kilnware::platform::libburn {

inline ::burn_drive* isoburn(burn::burn_drive* drive) {
    return reinterpret_cast<::burn_drive*>(drive);
}
inline ::burn_write_opts* isoburn(burn::burn_write_opts* opts) {
    return reinterpret_cast<::burn_write_opts*>(opts);
}
inline ::burn_toc_entry* isoburn(burn::burn_toc_entry* entry) {
    return reinterpret_cast<::burn_toc_entry*>(entry);
}

}  // namespace kilnware::platform::libburn
