#pragma once
// The RapidJSON headers the project uses, included in one place.
//
// RapidJSON 1.1 (the Debian package) compares `pointer + offset` against the end
// of its internal stacks while those stacks are still unallocated (null), which
// UndefinedBehaviorSanitizer reports as an offset applied to a null pointer.
// That arithmetic is confined to RapidJSON's own inline code, so only the
// pointer-overflow check is switched off, and only for the functions declared
// in these headers; everything else keeps the full sanitizer set. Include this
// header instead of the RapidJSON headers themselves so that it takes effect.
//
// The standard headers RapidJSON uses come first, so that the attribute never
// reaches a declaration of the standard library.
#include <cassert>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((no_sanitize("pointer-overflow"))), apply_to = function)
#endif

#include <rapidjson/allocators.h>
#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#if defined(__clang__)
#pragma clang attribute pop
#endif
