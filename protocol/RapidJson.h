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
