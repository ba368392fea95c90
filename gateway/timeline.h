/*
 * timeline.h - presentation times for one viewer from the frames' capture
 * times.
 *
 * The kept frames a viewer gets on arrival are from the past; playing them at
 * their capture spacing would put the viewer that far behind live. So they
 * get times 1 ms apart from 0, and the first live frame continues from there
 * at its capture distance from the newest kept frame; from then on the times
 * follow the capture times exactly.
 */
#ifndef RECNET_GATEWAY_TIMELINE_H
#define RECNET_GATEWAY_TIMELINE_H

#include <cstdint>

namespace gateway {

class Timeline {
public:
    // The presentation time in microseconds of a frame captured at
    // `captureUs`; `kept` as the path hands it over. Never goes backwards:
    // a capture clock that steps back or leaps ahead (a restarted device)
    // continues 1 ms on.
    uint64_t next(uint64_t captureUs, bool kept) {
        uint64_t t;
        if (!started_) {
            t = 0;
        } else if (kept || captureUs <= lastCapture_ || captureUs - lastCapture_ > STEP_MAX_US) {
            t = last_ + 1000;
        } else {
            t = last_ + (captureUs - lastCapture_);
        }
        started_ = true;
        lastCapture_ = captureUs;
        last_ = t;
        return t;
    }

private:
    static constexpr uint64_t STEP_MAX_US = 5'000'000;
    bool started_ = false;
    uint64_t lastCapture_ = 0;
    uint64_t last_ = 0;
};

}  // namespace gateway

#endif
