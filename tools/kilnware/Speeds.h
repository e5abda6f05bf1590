#pragma once

// Write speeds as a person gives them (multiples of the medium's 1x) and as recorders take them
// (kilobytes a second).

#include <optional>
#include <string>
#include <vector>

#include <kilnware/platform/foundation/Value.h>

namespace kilnware::cli {

// Kilobytes a second of 1x on the medium a recorder's status describes: CD, DVD or BD.
double kilobytesPer1x(const platform::Dictionary& status);

// The speeds the recorder offers for its medium, as multiples of its 1x, slowest first. A
// recorder that names none (the image recorder, a pseudo-drive) takes what drives take on such a
// medium: 1x to 52x on a CD, 24x on a DVD and 16x on a BD.
std::vector<double> offeredSpeeds(const platform::Dictionary& status);

// Why `speed` cannot be asked of the medium in `recorder`, in words for a person; none when the
// speed lies within what the recorder offers (it writes at the nearest it can).
std::optional<std::string> speedRefusal(const platform::Dictionary& status, double speed,
                                        const std::string& recorder);

// "4x", "2.4x".
std::string speedText(double multiple);

}  // namespace kilnware::cli
