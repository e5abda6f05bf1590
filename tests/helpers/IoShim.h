#pragma once

// The orders of tests/helpers/io_shim.cpp where it is linked into a test program: the folder it
// watches (none: it only passes calls on), what fails there with EIO (fsync, fsync-folder, name;
// none: nothing), and the file its record of the calls goes to (none: no record).
extern "C" void kilnware_io_shim_configure(const char* watch, const char* fail, const char* log);
