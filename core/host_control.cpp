// Control requests: queued to the loop by the caller's thread, carried out on the loop's thread
// between the device's rounds, answered through a shared slot the caller waits on.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "core/host.h"
#include "host/framework.h"
#include "runtime/device_driver.h"
#include "runtime/serial_port.h"

using Clock = std::chrono::steady_clock;

namespace {

// Codes that may put a command on the line; every other code only reads.
bool SendsToUnit(int code) {
    return code == 100 || code == 102 || code == 106 || code == 310 || code == 320;
}

// Where the loop leaves the answer (or the refusal) for the waiting caller.
struct Pending {
    std::mutex mu;
    std::condition_variable cv;
    std::optional<ControlAnswer> answer;
    std::string error;
    bool done = false;

    void Answer(ControlAnswer a) {
        std::lock_guard<std::mutex> lock(mu);
        if (done) return;
        answer = std::move(a);
        done = true;
        cv.notify_all();
    }
    void Refuse(std::string why) {
        std::lock_guard<std::mutex> lock(mu);
        if (done) return;
        error = std::move(why);
        done = true;
        cv.notify_all();
    }
};

ControlAnswer Call(VDeviceInterface& device, const ControlRequest& r) {
    ControlAnswer a;
    std::vector<unsigned char> out(static_cast<std::size_t>(std::max(r.outLen, 0)));
    int retLen = 0;
    a.result = device.DeviceIoControl(r.code, r.in.empty() ? nullptr : r.in.data(),
                                      static_cast<int>(r.in.size()), out.data(), r.outLen, retLen);
    a.retLen = retLen;
    out.resize(retLen > 0 && retLen <= r.outLen ? static_cast<std::size_t>(retLen) : 0);
    a.out = std::move(out);
    return a;
}

}  // namespace

ControlAnswer Host::Control(const ControlRequest& r) {
    if (!started_) throw ControlError("the host is still starting: try again");
    if (stopping_) throw ControlError("the host is stopping: nothing sent");
    DeviceSession* s = nullptr;
    for (auto& each : sessions_)
        if (each->running && each->config.dataId == r.dataId) s = each.get();
    if (s == nullptr)
        throw ControlError("no running device with data id " + std::to_string(r.dataId));

    auto pending = std::make_shared<Pending>();
    const std::string device = "device " + std::to_string(r.dataId);
    LoopTask task;
    task.deadline = Clock::now() + commandBound_;
    task.expired = [this, pending, device] {
        pending->Refuse(stopping_
                            ? "the host is stopping: nothing sent"
                            : device + " stayed busy for " + std::to_string(commandBound_.count()) +
                                  " ms: nothing sent");
    };
    const auto replyMs = std::chrono::milliseconds(2 * s->config.replyTimeoutMs + 1000);
    if (!SendsToUnit(r.code)) {
        // Reads only: answered at the loop's next turn, even mid-round.
        task.run = [pending, s, r] { pending->Answer(Call(*s->device, r)); };
    } else {
        // Between rounds only: a command sent into a round would take the place of a reply.
        task.driver = s->driver.get();
        task.run = [this, pending, s, r, replyMs] {
            DeviceDriver& d = *s->driver;
            const uint32_t notSent = d.Errors(frame::ReplyError::kPortClosed);
            ControlAnswer a = Call(*s->device, r);
            // Whether a command is now on its way is what the operator needs to know.
            a.sent = d.CommandUnderway() ? 1 : 0;
            if (d.Errors(frame::ReplyError::kPortClosed) != notSent) {
                const std::string why = s->port ? s->port->OpenError() : std::string();
                pending->Refuse("command not sent: the port is not open" +
                                (why.empty() ? std::string() : " (" + why + ")"));
                return;
            }
            if (a.sent == 0) {
                pending->Answer(std::move(a));
                return;
            }
            // Answered once the unit's reply (or its time-out) settled it, or when the loop
            // ends; either way the caller learns the command went out.
            auto answer = std::make_shared<ControlAnswer>(std::move(a));
            LoopTask settled;
            settled.driver = &d;
            settled.deadline = Clock::now() + replyMs;
            settled.run = [pending, answer] { pending->Answer(*answer); };
            settled.expired = settled.run;
            loop_->Post(std::move(settled));
        };
    }
    loop_->Post(std::move(task));

    std::unique_lock<std::mutex> lock(pending->mu);
    // The loop answers or refuses every task by its deadlines; this bound only guards a loop
    // that no longer turns.
    if (!pending->cv.wait_for(lock, commandBound_ + replyMs + std::chrono::seconds(1),
                              [&] { return pending->done; }))
        throw ControlError(device + ": no answer from the host's loop");
    if (!pending->answer) throw ControlError(pending->error);
    return *pending->answer;
}
