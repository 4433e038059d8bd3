// The fault proxy on the command line, for trials and the bench scripts:
//   fault-proxy LISTEN-ADDRESS:PORT TARGET-ADDRESS:PORT
// prints "listening PORT", then takes one command a line on its standard input:
//   stall | resume | reset | refuse MILLISECONDS | drop-accepted on|off |
//   throttle BYTES-PER-SECOND | swallow up|down|none | quit
// and answers each with "ok" (or "? line" for what it does not know).

#include "FaultProxy.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

bool Split(const std::string &text, std::string &host, std::uint16_t &port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    try {
        const int value = std::stoi(text.substr(colon + 1));
        if (value < 0 || value > 65535) return false;
        port = static_cast<std::uint16_t>(value);
    } catch (...) {
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    std::string listenHost;
    std::string targetHost;
    std::uint16_t listenPort = 0;
    std::uint16_t targetPort = 0;
    if (argc != 3 || !Split(argv[1], listenHost, listenPort) || !Split(argv[2], targetHost, targetPort)) {
        std::cerr << "usage: fault-proxy LISTEN-ADDRESS:PORT TARGET-ADDRESS:PORT\n";
        return 2;
    }
    tsc::tools::FaultProxy proxy(listenHost, targetHost, targetPort);
    std::string error;
    if (!proxy.Start(listenPort, &error)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::cout << "listening " << proxy.Port() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        std::string argument;
        words >> command >> argument;
        bool known = true;
        if (command == "stall")
            proxy.Stall(true);
        else if (command == "resume")
            proxy.Stall(false);
        else if (command == "reset")
            proxy.Reset();
        else if (command == "refuse")
            proxy.Refuse(std::chrono::milliseconds(std::atol(argument.c_str())));
        else if (command == "drop-accepted")
            proxy.DropAccepted(argument == "on");
        else if (command == "throttle")
            proxy.Throttle(static_cast<std::size_t>(std::atol(argument.c_str())));
        else if (command == "swallow")
            proxy.Swallow(argument == "up"     ? tsc::tools::FaultProxy::Direction::Up
                          : argument == "down" ? tsc::tools::FaultProxy::Direction::Down
                                               : tsc::tools::FaultProxy::Direction::None);
        else if (command == "quit")
            break;
        else
            known = false;
        std::cout << (known ? "ok" : "? " + line) << std::endl;
    }
    return 0;
}
