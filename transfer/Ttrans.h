// The transfer worker: one thread that runs one transfer from handshake to outcome.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "transfer/DeviceLink.h"
#include "transfer/Progress.h"
#include "transfer/TransHost.h"
#include "transfer/UpdateDisk.h"

namespace qf580 {

inline constexpr std::size_t kFastBufferSize = 32768;

// What a worker is built with besides its host; production uses the defaults.
struct TransEnvironment {
    LinkTimeouts timeouts;
    std::optional<UsbDriver> usb;  // empty: the maker's library
    // The set's totals where a check has just read the set whole; empty: the worker counts
    // the set itself before the link is opened.
    std::optional<SetTotals> totals;
};

class TTrans {
  public:
    // Works on `file` as it is now (an Open in the host meanwhile changes the next transfer
    // only); starts the thread at once.
    TTrans(TransHost& host, ChosenFile file, TransEnvironment env = {});
    // The same worker without a thread of its own: its transfer runs when RunHere is called,
    // on the thread that calls it. For a caller that would only wait for the worker anyway;
    // it is disposed of on that thread, once RunHere has returned.
    struct OnCallingThread {};
    TTrans(TransHost& host, ChosenFile file, TransEnvironment env, OnCallingThread);
    TTrans(const TTrans&) = delete;
    TTrans& operator=(const TTrans&) = delete;
    // Requests a stop and joins.
    ~TTrans();

    // The stop request; noticed between records, and by the link while it waits for the
    // device to connect or to reply.
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    // Joins the thread (once); safe to call again.
    void WaitFor();
    // Runs the transfer of a worker built OnCallingThread to its end; nothing for one with a
    // thread, or a second time.
    void RunHere();
    // True once RunTransfer has returned.
    bool Finished() const { return finished_.load(); }

  private:
    TTrans(TransHost& host, ChosenFile file, TransEnvironment env, bool ownThread);

    // The device link, as the worker's own operations: true when the operation worked.
    bool OpenPort() { return link_.OpenPort() != 0; }
    bool SendData(const void* data, int len) { return link_.SendData(data, len) != 0; }
    bool RecvData(std::uint8_t* buf, int len) { return link_.RecvData(buf, len) != 0; }
    bool ConfirmDelivery() { return link_.ConfirmDelivery() != 0; }
    void ClosePort() { link_.ClosePort(); }

    class Steps;
    void RunTransfer();
    // Steps up to the outcome. The ending steps are RunTransfer's.
    Outcome Transfer(std::uint8_t* FastBuffer);
    // Receives the device's reply to a step: nothing when it is `reply`; else the outcome,
    // `wrong` for other bytes and `none` where nothing came.
    std::optional<Outcome> Expect(std::string_view reply, Outcome wrong,
                                  Outcome none = Outcome::CommError);

    TransHost& host_;
    const ChosenFile file_;
    const std::optional<SetTotals> totals_;
    DeviceLink link_;
    DiskFile DiskFile_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    // Stored by the thread itself first thing, so that a call from it can be recognised
    // without reading thread_ while another thread may be joining it.
    std::atomic<std::thread::id> workerId_{};
    std::once_flag joined_;
    std::atomic<bool> ranHere_{false};
    const bool ownThread_;
    std::thread thread_;  // last: started once everything above exists (none OnCallingThread)
};

}  // namespace qf580
