// What the worker's tests share: a host that records every call in order, and a USB driver
// table that plays the device model in-process.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/ShortTimeouts.h"
#include "tests/support/StatusTexts.h"
#include "tests/support/TempDir.h"
#include "tests/support/UpdateSet.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/DeviceModel.h"
#include "transfer/TransHost.h"
#include "transfer/Ttrans.h"

namespace qf580::test {

// Records every call of the worker, in the worker's order.
class RecordingHost final : public TransHost {
  public:
    explicit RecordingHost(std::string dir, std::string name = "FW0000.q58")
        : dir_(std::move(dir)), name_(std::move(name)) {
        LinkSettingsValues values;
        values.UseUSB = 1;  // the fake driver unless a test says otherwise
        values.IPAddress = "127.0.0.1";
        values.PortNo = 0;
        settings_.Set(values);
    }

    // The chosen file that RunOne hands to the worker.
    ChosenFile file() const { return {dir_, name_}; }
    const LinkSettings& Settings() const override { return settings_; }
    LinkSettings& Settings() { return settings_; }

    void SetStatus(const std::string& text) override {
        Add("status:" + text);
        if (onStatus) {
            onStatus(text);
        }
    }
    bool AskInsertDisk(int diskNo) override {
        Add("ask:" + std::to_string(diskNo));
        return onAsk ? onAsk(diskNo) : false;
    }
    void ReportProgress(const TransferProgress& progress) override {
        if (!listensToProgress) {
            TransHost::ReportProgress(progress);
            return;
        }
        std::lock_guard lock(mutex_);
        progress_.push_back({progress, events_.size()});
    }
    void DiskUnreadable(const std::string& path, int error) override {
        Add("unreadable:" + path + ": " + SystemErrorText(error));
    }
    void TransferEnded(Outcome outcome) override {
        {
            std::lock_guard lock(mutex_);
            ended_ = outcome;
        }
        Add("ended");
    }

    // Set before the worker starts; called on the worker thread.
    bool listensToProgress = true;
    std::function<void(const std::string&)> onStatus;
    std::function<bool(int)> onAsk;

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> statuses() const {
        std::vector<std::string> out;
        for (const std::string& e : events()) {
            if (e.rfind("status:", 0) == 0) {
                out.push_back(e.substr(7));
            }
        }
        return out;
    }
    std::string outcome() const {
        const std::vector<std::string> s = statuses();
        return s.empty() ? std::string() : s.back();
    }
    // The outcome the end notice carried; nullopt before it came.
    std::optional<Outcome> ended() const {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    // A progress report and how many other calls (events) had come before it.
    struct ProgressAt {
        TransferProgress progress;
        std::size_t afterEvents;
    };
    std::vector<ProgressAt> progress() const {
        std::lock_guard lock(mutex_);
        return progress_;
    }

    void Clear() {
        std::lock_guard lock(mutex_);
        progress_.clear();
        events_.clear();
        ended_.reset();
    }

    // The worker of the running transfer, for callbacks that request a stop.
    std::atomic<TTrans*> worker{nullptr};

  private:
    void Add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }

    std::string dir_;
    std::string name_;
    LinkSettings settings_;
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::vector<ProgressAt> progress_;
    std::optional<Outcome> ended_;
};

// The device model behind a USB driver table, in-process. Every call comes from the worker
// thread; the test reads the state after joining the worker.
class FakeUsbDevice {
  public:
    explicit FakeUsbDevice(sim::FaultPlan plan = {}) : state_(std::make_shared<State>(plan)) {}

    UsbDriver Driver() const {
        UsbDriver d;
        std::shared_ptr<State> s = state_;
        d.OpenDevice = [s]() -> std::int32_t {
            ++s->opens;
            return s->openFails ? 0 : kHandle;
        };
        d.CloseDevice = [s](std::int32_t handle) -> std::int32_t {
            s->closes.push_back(handle);
            return 1;
        };
        d.WriteDevice = [s](std::int32_t handle, const void* data, std::int32_t len,
                            std::int32_t* count, std::int32_t) -> std::int32_t {
            if (handle != kHandle || s->closed) {
                *count = 0;
                return 0;
            }
            const auto* p = static_cast<const std::uint8_t*>(data);
            Bytes bytes(p, p + len);
            s->writes.push_back(bytes);
            const sim::DeviceModel::Output out = s->model.Feed(bytes);
            s->replies.insert(s->replies.end(), out.reply.begin(), out.reply.end());
            if (out.close) {
                s->closing = true;
            }
            if (s->onWrite) {
                s->onWrite(bytes);
            }
            *count = len;
            return 1;
        };
        d.ReadDevice = [s](std::int32_t handle, void* buf, std::int32_t wanted, std::int32_t* count,
                           std::int32_t timeoutMs) -> std::int32_t {
            *count = 0;
            if (handle != kHandle || wanted < 1) {
                return 0;
            }
            if (s->replies.empty()) {
                if (s->closing) {
                    s->closed = true;  // the device is gone: fails at once
                } else {
                    // Silence: the driver gives up at its time limit.
                    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
                }
                return 0;
            }
            *static_cast<std::uint8_t*>(buf) = s->replies.front();
            s->replies.pop_front();
            *count = 1;
            return 1;
        };
        return d;
    }

    const sim::DeviceModel& model() const { return state_->model; }
    const std::vector<Bytes>& writes() const { return state_->writes; }
    std::vector<std::size_t> writeSizes() const {
        std::vector<std::size_t> sizes;
        for (const Bytes& w : state_->writes) {
            sizes.push_back(w.size());
        }
        return sizes;
    }
    Bytes received() const {
        Bytes all;
        for (const Bytes& w : state_->writes) {
            all = all + w;
        }
        return all;
    }
    int opens() const { return state_->opens; }
    const std::vector<std::int32_t>& closes() const { return state_->closes; }
    void FailOpen() { state_->openFails = true; }
    // Called on the worker thread after each write has reached the model.
    void OnWrite(std::function<void(const Bytes&)> f) { state_->onWrite = std::move(f); }

    static constexpr std::int32_t kHandle = 0x5A17;

  private:
    struct State {
        explicit State(sim::FaultPlan plan) : model(std::move(plan)) {}
        sim::DeviceModel model;
        std::deque<std::uint8_t> replies;
        std::vector<Bytes> writes;
        std::vector<std::int32_t> closes;
        std::function<void(const Bytes&)> onWrite;
        int opens = 0;
        bool openFails = false;
        bool closing = false;
        bool closed = false;
    };
    std::shared_ptr<State> state_;
};

// Runs one transfer to its end and checks what every transfer must show: exactly one end
// notice, as the very last call, right after the outcome text.
inline void RunOne(RecordingHost& host, TransEnvironment env) {
    host.Clear();
    {
        TTrans trans(host, host.file(), std::move(env));
        host.worker.store(&trans);
        trans.WaitFor();
        EXPECT_TRUE(trans.Finished());
        host.worker.store(nullptr);
    }
    const std::vector<std::string> events = host.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back(), "ended");
    EXPECT_EQ(std::count(events.begin(), events.end(), "ended"), 1);
    // The notice carries the outcome whose text the status line got just before it.
    const std::optional<Outcome> outcome = host.ended();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(events[events.size() - 2], "status:" + std::string(OutcomeText(*outcome)));
}

inline TransEnvironment UsbEnv(const FakeUsbDevice& device) {
    TransEnvironment env;
    env.timeouts = ShortTimeouts();
    env.usb = device.Driver();
    return env;
}

// Requests a stop of the running worker from one of its own callbacks.
inline void StopRunningWorker(RecordingHost& host) {
    TTrans* worker = nullptr;
    while ((worker = host.worker.load()) == nullptr) {
        std::this_thread::yield();  // the worker may call back before the test stored it
    }
    worker->Terminate();
}

// Runs one transfer that the test stops at the status `stopAt`: how long it took from there.
inline std::chrono::steady_clock::duration StoppedAt(RecordingHost& host, const std::string& stopAt,
                                                     TransEnvironment env) {
    std::chrono::steady_clock::time_point stopped;
    host.onStatus = [&](const std::string& text) {
        if (text == stopAt) {
            stopped = std::chrono::steady_clock::now();
            StopRunningWorker(host);
        }
    };
    RunOne(host, std::move(env));
    return std::chrono::steady_clock::now() - stopped;
}

// A fault of the device model at one reply point (record acknowledgements: index and pass).
inline sim::Fault At(sim::FaultKind kind, sim::ReplyPoint at, int recordIndex = 0, int pass = 1) {
    sim::Fault f;
    f.kind = kind;
    f.at = at;
    f.recordIndex = recordIndex;
    f.pass = pass;
    return f;
}

}  // namespace qf580::test
