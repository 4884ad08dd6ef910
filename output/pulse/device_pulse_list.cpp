#include "output/pulse/device_pulse_list.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

#include <chrono>
#include <string>

#include "output/stream_identity.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kAnswerLimit = std::chrono::milliseconds(1000);

// A connection driven from the caller's thread: each step runs the loop until a condition holds
// or the deadline passes.
class PulseQuery {
  public:
    PulseQuery() : loop(pa_mainloop_new()) {
        if (loop != nullptr) {
            context = pa_context_new(pa_mainloop_get_api(loop), kStreamApplicationName);
        }
    }
    ~PulseQuery() {
        if (context != nullptr) {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        if (loop != nullptr) {
            pa_mainloop_free(loop);
        }
    }
    PulseQuery(const PulseQuery&) = delete;
    PulseQuery& operator=(const PulseQuery&) = delete;

    bool connect() {
        if (context == nullptr ||
            pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            return false;
        }
        runUntil([&] { return !PA_CONTEXT_IS_GOOD(state()) || state() == PA_CONTEXT_READY; });
        return state() == PA_CONTEXT_READY;
    }

    // Runs the loop until done() or the deadline; false at the deadline or when the loop fails.
    template <typename Done>
    bool runUntil(Done done) {
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 ||
                pa_mainloop_prepare(loop, static_cast<int>(left.count()) * 1000) < 0 ||
                pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0) {
                return false;
            }
        }
        return true;
    }

    pa_context* context = nullptr;

  private:
    pa_context_state_t state() const { return pa_context_get_state(context); }

    pa_mainloop* loop = nullptr;
    const Clock::time_point deadline = Clock::now() + kAnswerLimit;
};

struct SinkList {
    std::vector<OutputDeviceInfo> sinks;
    bool done = false;
};

void collectSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* list = static_cast<SinkList*>(userdata);
    if (eol != 0 || info == nullptr) {
        list->done = true;
        return;
    }
    list->sinks.push_back({std::string("pulse:") + info->name,
                           info->description != nullptr ? info->description : ""});
}

}  // namespace

bool pulseServerAnswers() {
    PulseQuery query;
    return query.connect();
}

std::vector<OutputDeviceInfo> listPulseSinks() {
    PulseQuery query;
    SinkList list;
    if (!query.connect()) {
        return {};
    }
    pa_operation* operation = pa_context_get_sink_info_list(query.context, &collectSink, &list);
    if (operation == nullptr) {
        return {};
    }
    const bool complete = query.runUntil([&] { return list.done; });
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return complete ? list.sinks : std::vector<OutputDeviceInfo>{};
}
