// farm-endpoint: serves a server list the way a Farm's load-balancing service does.
//
//   farm-endpoint --port 3390 --server "127.0.0.2 3389 3391 3390 ts1"
//                 --server "127.0.0.3 3389 3391 3390 ts2" --domain FARM --round-robin
//   farm-endpoint --port 3390 --list servers.txt --mode chunked
//
// A list file holds one server per line: address, RDP port, RDP+ port,
// load-balancing port and name, separated by spaces; "#" starts a comment.

#include "FarmEndpoint.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("farm-endpoint");
    QCommandLineParser parser;
    parser.setApplicationDescription("A Farm load-balancing endpoint for tests and trials.");
    parser.addHelpOption();
    parser.addOptions({
        {"listen", "Address to listen on (default 127.0.0.1).", "address", "127.0.0.1"},
        {"port", "TCP port (default 0: any free port, printed at start).", "port", "0"},
        {"server", "One server: \"address rdp rdp+ lbport name\" (repeatable).", "record"},
        {"list", "File of server records, one per line.", "file"},
        {"domain", "Domain named with the preferred server (default FARM).", "domain", "FARM"},
        {"mode", "normal, chunked, older-only, no-eof, garbage, silent, flood, drip, close-mid.", "mode",
         "normal"},
        {"round-robin", "Name the next server as preferred on every request."},
        {"drip-ms", "Milliseconds between bytes in drip mode (default 100).", "ms", "100"},
    });
    parser.process(application);

    tsc::farm::EndpointOptions options;
    options.address = QHostAddress(parser.value("listen"));
    bool portOk = false;
    const uint port = parser.value("port").toUInt(&portOk);
    if (options.address.isNull() || !portOk || port > 65535) {
        std::fprintf(stderr, "farm-endpoint: bad --listen or --port\n");
        return 2;
    }
    options.port = static_cast<quint16>(port);
    std::string records;
    for (const QString &record : parser.values("server"))
        records += record.toStdString() + "\n";
    if (parser.isSet("list")) {
        QFile file(parser.value("list"));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "farm-endpoint: cannot read %s\n", qPrintable(parser.value("list")));
            return 2;
        }
        records += file.read(1 << 20).toStdString();
    }
    options.servers = tsc::farm::ParseServerLines(records);
    options.domain = parser.value("domain").toStdString();
    options.roundRobin = parser.isSet("round-robin");
    options.dripIntervalMs = parser.value("drip-ms").toInt();
    if (!tsc::farm::ParseEndpointMode(parser.value("mode"), options.mode) || options.dripIntervalMs <= 0) {
        std::fprintf(stderr, "farm-endpoint: bad --mode or --drip-ms\n");
        return 2;
    }
    if (options.servers.empty()) std::fprintf(stderr, "farm-endpoint: warning: no servers to list\n");

    tsc::farm::FarmEndpoint endpoint(options);
    if (!endpoint.Listen()) {
        std::fprintf(stderr, "farm-endpoint: cannot listen on %s:%u\n", qPrintable(parser.value("listen")),
                     port);
        return 1;
    }
    QObject::connect(
        &endpoint, &tsc::farm::FarmEndpoint::answered, [](const QString &command, const QString &preferred) {
            QString shown = command; // no terminal escape sequences from a peer
            for (QChar &c : shown)
                if (c.unicode() < 32 || c.unicode() == 127) c = u'?';
            std::printf("request \"%s\": preferred server %s\n", qPrintable(shown), qPrintable(preferred));
            std::fflush(stdout);
        });
    std::printf("farm-endpoint listening on %s:%u with %zu servers\n", qPrintable(options.address.toString()),
                endpoint.Port(), options.servers.size());
    std::fflush(stdout);
    return QCoreApplication::exec();
}
