#pragma once
// The local weight service's settings: Service.ini, the operator's own before the one beside the
// program. Off unless it names a port.
//   [Service]
//   Port=8811              the TCP port; missing or 0: no service
//   Listen=127.0.0.1       the address it listens on (anything but the loopback only when written)
//   Token=...              what every client shows; made (random, 256 bits) and written in when missing
//   Origins=https://a,...  the web pages' origins allowed to call it
//   HwProxy=1              the point-of-sale endpoint (POST /hw_proxy/scale_read)
#include <string>
#include <vector>

namespace service {

struct Settings {
    int port = 0;  // 0: off
    std::string listen = "127.0.0.1";
    std::string token;
    std::vector<std::string> origins;
    bool hwProxy = false;
    std::string file;  // where they were read (empty: no file)
};

struct SettingsRead {
    Settings settings;
    // What cannot be used, for the operator (the service is then off); empty when fine.
    std::string problem;
    // A token was made and could not be written into the file: the service runs with it until
    // the program ends.
    bool tokenNotSaved = false;
};

// The first Service.ini of `folders` (each ends in the path separator; empty ones are skipped).
SettingsRead ReadSettings(const std::vector<std::string>& folders);

// A fresh token: 256 random bits as 64 hex digits.
std::string NewToken();

}  // namespace service
