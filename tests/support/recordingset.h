// Recordings as a busy recorder leaves them, without an image: for the
// overview's tests and figures.
#pragma once

#include "scan.h"

namespace korvath {
namespace testkit {

// `count` recordings over `channels` channels from 2019-01-01, each one to
// thirty-one minutes long, mostly back to back, sometimes hours or days
// apart; the same list for the same seed.
QVector<Recording> busyRecorder(int count, int channels, uint32_t seed = 12345);

} // namespace testkit
} // namespace korvath
