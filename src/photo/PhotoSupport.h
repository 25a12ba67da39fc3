// What the photo decoders share: failures and the size check made before allocating.
#pragma once

#include <cstdint>
#include <string>

#include "SysUtils.h"

[[noreturn]] void PhotoFail(const std::string& format, const std::string& reason,
                            TFailureKind kind = TFailureKind::Damaged);
// Raises TooLarge beyond TBitmap's limits, Damaged for an empty picture.
void CheckPhotoSize(const std::string& format, int64_t width, int64_t height);
