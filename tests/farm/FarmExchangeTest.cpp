#include "FarmExchange.h"
#include "FarmEndpoint.h"
#include "FarmTestSupport.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/stat.h>

using namespace tsc::farm;

namespace {

EndpointOptions TwoServers(EndpointMode mode) {
    EndpointOptions options;
    options.servers = {{"127.0.0.2", "3389", "3391", "3390", "ts1"},
                       {"127.0.0.3", "3389", "3391", "3390", "ts2"}};
    options.mode = mode;
    return options;
}

// A peer that answers the command with fixed bytes and then either closes or stays.
class RawPeer : public QObject {
  public:
    RawPeer(QByteArray reply, bool close) {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this, reply, close] {
            QTcpSocket *socket = server_.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, reply, close] {
                socket->readAll();
                socket->write(reply);
                if (close) socket->disconnectFromHost();
            });
        });
    }
    quint16 Port() const { return server_.serverPort(); }

  private:
    QTcpServer server_;
};

} // namespace

class FarmExchangeTest : public FarmFolderTest {
  protected:
    struct Outcome {
        bool complete = false;
        qint64 elapsedMs = 0;
    };
    Outcome Run(quint16 port, std::string_view tag = CurrentTag, const std::string &user = "alice",
                const QString &host = "127.0.0.1") {
        QElapsedTimer clock;
        clock.start();
        bool finished = false;
        Outcome outcome;
        QObject::connect(&exchange_, &FarmExchange::finished, &exchange_, [&](bool complete) {
            finished = true;
            outcome.complete = complete;
        });
        EXPECT_TRUE(exchange_.Start(host, port, tag, user, record_));
        EXPECT_TRUE(RunUntil([&] { return finished; }, 40'000));
        outcome.elapsedMs = clock.elapsed();
        QObject::disconnect(&exchange_, &FarmExchange::finished, &exchange_, nullptr);
        return outcome;
    }
    void SetUp() override {
        FarmFolderTest::SetUp();
        record_ = DataPath("tsv_farm_v001c003.txt");
    }
    FarmExchange exchange_{log_};
    std::string record_;
};

TEST_F(FarmExchangeTest, CompleteListsAreRecordedWhole) {
    for (EndpointMode mode : {EndpointMode::Normal, EndpointMode::Chunked}) {
        FarmEndpoint endpoint(TwoServers(mode));
        ASSERT_TRUE(endpoint.Listen());
        const Outcome outcome = Run(endpoint.Port());
        EXPECT_TRUE(outcome.complete);
        EXPECT_GE(outcome.elapsedMs, 500);
        // Lines cut across chunks arrive whole.
        const std::vector<std::string> expected =
            SplitTextLines(EndpointReply(TwoServers(mode), CurrentTag, 0));
        EXPECT_EQ(exchange_.Lines(), expected);
        const ListText stored = ReadCurrentFormatText(ReadAll(record_));
        EXPECT_TRUE(stored.complete);
        EXPECT_EQ(BuildServerList(stored.lines, CurrentTag).rows.size(), 2u);
        EXPECT_EQ(endpoint.Commands(), QStringList{"V001C003alice"});
    }
    EXPECT_TRUE(log_.Has("I Update v001c003 file: " + record_));
    EXPECT_TRUE(log_.Has("I Load Balancing: send command: V001C003alice"));
    EXPECT_TRUE(log_.Has("I Server 127.0.0.1:"));
}

TEST_F(FarmExchangeTest, FailedExchangesLeaveTheLastGoodListInPlace) {
    struct Case {
        EndpointMode mode;
        const char *logged;
    };
    const Case cases[] = {
        {EndpointMode::OlderOnly, "I Load Balancing: disconnected"},
        {EndpointMode::NoEndMarker, "I Load Balancing: disconnected"},
        {EndpointMode::Garbage, "I Load Balancing: disconnected"},
        {EndpointMode::CloseMidReply, "I Load Balancing: disconnected"}, // Qt reports a reset as a close
        {EndpointMode::Flood, "W Load Balancing: the reply exceeds 1048576 bytes"},
        {EndpointMode::Silent, "I Connect to 127.0.0.1:"},
        {EndpointMode::Drip, "I Connect to 127.0.0.1:"},
    };
    exchange_.SetLimits({500, 1500, 1024 * 1024, MaximumReplyLines});
    for (const Case &c : cases) {
        log_.lines.clear();
        WriteAll(record_, "last good list\r\nEOF\r\n");
        FarmEndpoint endpoint(TwoServers(c.mode));
        ASSERT_TRUE(endpoint.Listen());
        const Outcome outcome = Run(endpoint.Port());
        EXPECT_FALSE(outcome.complete) << static_cast<int>(c.mode);
        EXPECT_LT(outcome.elapsedMs, 5000) << static_cast<int>(c.mode);
        EXPECT_EQ(ReadAll(record_), "last good list\r\nEOF\r\n") << static_cast<int>(c.mode);
        EXPECT_TRUE(log_.Has(c.logged)) << static_cast<int>(c.mode);
        for (const auto &line : log_.lines) // nothing unprintable reaches the log
            EXPECT_TRUE(std::none_of(line.begin(), line.end(),
                                     [](char ch) { return ch >= 0 && ch < 32 && ch != '\n'; }));
        EXPECT_TRUE(std::filesystem::is_empty(folder_ / "TerminalServer") ||
                    std::distance(std::filesystem::directory_iterator(folder_ / "TerminalServer"),
                                  std::filesystem::directory_iterator()) == 1)
            << "a temporary file was left behind";
    }
}

TEST_F(FarmExchangeTest, UnreachableEndpointsEndAfterTheMinimumWithAnError) {
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    int failures = 0;
    QObject::connect(&exchange_, &FarmExchange::socketFailed, &exchange_, [&] { ++failures; });
    const Outcome refused = Run(closedPort);
    EXPECT_FALSE(refused.complete);
    EXPECT_GE(refused.elapsedMs, 500);
    EXPECT_TRUE(log_.Has("E Load Balancing: TCP error: 10061"));
    const Outcome unresolved = Run(1, CurrentTag, "alice", "no-such-host.invalid");
    EXPECT_FALSE(unresolved.complete);
    EXPECT_TRUE(log_.Has("E Load Balancing: TCP error: 11001"));
    EXPECT_EQ(failures, 2);
    EXPECT_FALSE(std::filesystem::exists(record_));
}

TEST_F(FarmExchangeTest, EndMarkerEndsTheReplyWhereverItStands) {
    // Lines after the marker in the same chunk are recorded but not taken.
    RawPeer after("p 3389 3391 ts1 D\r\n# the list ends: EoF here\r\nafter the end\r\n", false);
    EXPECT_TRUE(Run(after.Port()).complete);
    EXPECT_EQ(exchange_.Lines().back(), "# the list ends: EoF here");
    EXPECT_NE(ReadAll(record_).find("after the end\r\n\r\n"), std::string::npos);
    // A marker without a line end from a peer that keeps the connection open.
    RawPeer open("p 3389 3391 ts1 D\r\nEOF", false);
    const Outcome outcome = Run(open.Port());
    EXPECT_TRUE(outcome.complete);
    EXPECT_LT(outcome.elapsedMs, 1500);
}

TEST_F(FarmExchangeTest, UserNameCannotStartASecondCommand) {
    FarmEndpoint endpoint(TwoServers(EndpointMode::Normal));
    ASSERT_TRUE(endpoint.Listen());
    EXPECT_TRUE(Run(endpoint.Port(), OlderTag, "bob\r\nV001C003root").complete);
    EXPECT_EQ(endpoint.Commands(), QStringList{"V001C001bobV001C003root"});
    EXPECT_TRUE(log_.Has("W Load Balancing: the user name holds control characters"));

    QString filled;
    QObject::connect(&exchange_, &FarmExchange::logonNameUsed, &exchange_,
                     [&](const QString &n) { filled = n; });
    EXPECT_TRUE(Run(endpoint.Port(), CurrentTag, "").complete);
    EXPECT_FALSE(filled.isEmpty());
    EXPECT_EQ(endpoint.Commands().last(), "V001C003" + filled);
}

TEST_F(FarmExchangeTest, OnlyOneExchangeAndAbortEndsTheWaitAtOnce) {
    FarmEndpoint endpoint(TwoServers(EndpointMode::Silent));
    ASSERT_TRUE(endpoint.Listen());
    bool finished = false;
    QObject::connect(&exchange_, &FarmExchange::finished, &exchange_, [&] { finished = true; });
    ASSERT_TRUE(exchange_.Start("127.0.0.1", endpoint.Port(), CurrentTag, "a", record_));
    EXPECT_FALSE(exchange_.Start("127.0.0.1", endpoint.Port(), CurrentTag, "a", record_));
    ASSERT_TRUE(RunUntil([&] { return endpoint.Connections() == 1; }));
    exchange_.Abort();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(exchange_.Running());
}

TEST_F(FarmExchangeTest, ListFileThatIsAFolderOrAFifoNeitherBlocksNorStopsTheExchange) {
    FarmEndpoint endpoint(TwoServers(EndpointMode::Normal));
    ASSERT_TRUE(endpoint.Listen());
    std::filesystem::create_directory(record_);
    EXPECT_TRUE(Run(endpoint.Port()).complete);
    EXPECT_TRUE(std::filesystem::is_directory(record_));
    EXPECT_TRUE(log_.Has("W Can not update v001c003 file: " + record_));

    std::filesystem::remove(record_);
    ASSERT_EQ(::mkfifo(record_.c_str(), 0600), 0);
    log_.lines.clear();
    const Outcome outcome = Run(endpoint.Port());
    EXPECT_TRUE(outcome.complete);
    EXPECT_LT(outcome.elapsedMs, 5000);
    // The FIFO was replaced by the list, like any file would have been.
    EXPECT_TRUE(std::filesystem::is_regular_file(record_));
    EXPECT_TRUE(ReadCurrentFormatText(ReadAll(record_)).complete);
}

// Where the data folder is not the user's alone, another user can plant a link or a
// file of theirs under the list's name: the reply never goes through the link into
// the file it names, nor over their file.
TEST_F(FarmExchangeTest, PlantedLinkOrFileOfAnotherUserIsNeverWrittenThrough) {
    FarmEndpoint endpoint(TwoServers(EndpointMode::Normal));
    ASSERT_TRUE(endpoint.Listen());
    const std::string victim = DataPath("bashrc");
    std::ofstream(victim) << "alias ls='ls --color'\n";
    std::filesystem::create_symlink(victim, record_);
    EXPECT_TRUE(Run(endpoint.Port()).complete);
    EXPECT_EQ(ReadAll(victim), "alias ls='ls --color'\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(record_)));

    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the list to another user";
    std::filesystem::remove(record_);
    std::ofstream(record_) << "theirs";
    ASSERT_EQ(::chown(record_.c_str(), 65534, 65534), 0);
    log_.lines.clear();
    EXPECT_TRUE(Run(endpoint.Port()).complete);
    EXPECT_EQ(ReadAll(record_), "theirs");
    EXPECT_TRUE(log_.Has("W Can not update v001c003 file: " + record_));
}
