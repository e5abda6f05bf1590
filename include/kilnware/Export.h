#pragma once

// The library is built with hidden visibility; only what carries this mark is part of its ABI.
#define KILNWARE_EXPORT __attribute__((visibility("default")))
