#pragma once
// The local weight service: HTTP and WebSocket on a port of this computer, for the web pages and
// point-of-sale clients that want the desk's weighings.
//   GET  /v1/weight            the connection, the live weight, the last weighing
//   GET  /v1/weighings         ?after=SEQ&limit=N: the weighings since
//   GET  /v1/stream            WebSocket: every new weighing, live weight and connection change
//   POST /hw_proxy/scale_read  JSON-RPC, without a token (HwProxy=1): the point-of-sale boxes' call
//   GET  /                     the live page
// Every call shows the token (Authorization: Bearer, or ?token= for the page and the stream);
// a browser's Origin must be listed, and the Host must be an address or the loopback's name, so
// that a page elsewhere can neither read the weights nor reach the service by DNS rebinding.
//
// The server's threads read the WeighingLog the desk writes; nothing of theirs makes the desk
// wait. Each stream client has a sender of its own: one that stops reading is dropped, the
// others go on.
#include "ServiceSettings.h"
#include "WeighingLog.h"

#include <memory>
#include <string>

namespace service {

struct PageFiles {
    std::string folder;  // where live.html, live.js and live.css are; ends in the separator
};

class WeightService {
public:
    // `run` names this run of the program (a client tells a restart by it).
    WeightService(Settings settings, WeighingLog& log, std::string run, PageFiles page);
    ~WeightService();  // every client closed, every thread ended
    WeightService(const WeightService&) = delete;
    WeightService& operator=(const WeightService&) = delete;

    // Listens; false with the system's words when it cannot (the port is in use, say).
    bool Start(std::string& why);
    int Port() const;
    // The page's address with the token, for the desktop's browser.
    std::string PageAddress() const;
    // Open stream clients (for tests and figures).
    int StreamClients() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace service
