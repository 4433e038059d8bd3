#include "XrdpServer.h"

#include "ShadowServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

namespace tsc::test {

namespace {

constexpr const char *TestUsers[] = {"tsc28clip", "tsc28clip2"};
constexpr int MaximumUsers = 2;
constexpr char TestPassword[] = "Clip-Test-28";

bool Run(const QString &program, const QStringList &arguments, const QByteArray &input = {}) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) return false;
    if (!input.isEmpty()) process.write(input);
    process.closeWriteChannel();
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

bool EnsureTestUser(const char *name) {
    if (!getpwnam(name) && !Run("useradd", {"-m", "-s", "/bin/bash", name})) return false;
    return Run("chpasswd", {}, QByteArray(name) + ":" + TestPassword + "\n");
}

// The distribution's configuration with the test's address, port, log files, and the
// Xorg session chosen and logged into without xrdp's login dialog: as the one test user,
// or (`anyUser`) with the name and password the client sends.
bool WriteConfiguration(const QString &folder, const QString &address, quint16 port, bool anyUser) {
    QFile xrdpIn("/etc/xrdp/xrdp.ini");
    QFile sesmanIn("/etc/xrdp/sesman.ini");
    if (!xrdpIn.open(QIODevice::ReadOnly) || !sesmanIn.open(QIODevice::ReadOnly)) return false;
    QString xrdp = QString::fromUtf8(xrdpIn.readAll());
    QString sesman = QString::fromUtf8(sesmanIn.readAll());
    xrdp.replace(QRegularExpression("(?m)^port=3389$"),
                 QStringLiteral("port=tcp://%1:%2").arg(address).arg(port));
    xrdp.replace(QRegularExpression("(?m)^autorun=.*$"), "autorun=Xorg");
    xrdp.replace(QRegularExpression("(?m)^LogFile=.*$"), "LogFile=" + folder + "/xrdp.log");
    const qsizetype xorg = xrdp.indexOf("[Xorg]");
    if (xorg < 0) return false;
    const qsizetype next = xrdp.indexOf('[', xorg + 1);
    const qsizetype length = (next < 0 ? xrdp.size() : next) - xorg;
    QString section = xrdp.mid(xorg, length);
    if (!anyUser) {
        section.replace("username=ask", QStringLiteral("username=") + TestUsers[0]);
        section.replace("password=ask", QStringLiteral("password=") + TestPassword);
    }
    xrdp.replace(xorg, length, section);
    sesman.replace(QRegularExpression("(?m)^LogFile=.*$"), "LogFile=" + folder + "/sesman.log");
    QFile xrdpOut(folder + "/xrdp.ini");
    QFile sesmanOut(folder + "/sesman.ini");
    return xrdpOut.open(QIODevice::WriteOnly) && xrdpOut.write(xrdp.toUtf8()) > 0 &&
           sesmanOut.open(QIODevice::WriteOnly) && sesmanOut.write(sesman.toUtf8()) > 0;
}

// xrdp's session manager listens on its fixed port and numbers the session displays
// itself, so only one test server runs on the machine at a time: test runs in other
// checkouts wait here for their turn.
constexpr char MachineLock[] = "/run/lock/tsc-xrdp-tests.lock";
constexpr int LockWaitMilliseconds = 150000;

int TakeMachineLock() {
    const int descriptor = open(MachineLock, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) return -1;
    const bool taken =
        WaitFor([descriptor] { return flock(descriptor, LOCK_EX | LOCK_NB) == 0; }, LockWaitMilliseconds);
    if (taken) return descriptor;
    close(descriptor);
    return -1;
}

bool Listening(const QString &address, quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(address, port);
    return socket.waitForConnected(200);
}

} // namespace

XrdpServer::XrdpServer(QString address, quint16 port, int users)
    : address_(std::move(address)), port_(port), users_(std::clamp(users, 1, MaximumUsers)) {}

XrdpServer::~XrdpServer() {
    for (auto &program : sessionPrograms_)
        Stop(program);
    for (auto &copier : copier_)
        Stop(copier);
    Stop(xrdp_);
    Stop(sesman_);
    EndUserSession();
    if (machineLock_ >= 0) close(machineLock_);
}

QString XrdpServer::Unavailable() {
    if (geteuid() != 0) return QStringLiteral("xrdp's session manager needs root");
    for (const char *file : {"/usr/sbin/xrdp", "/usr/sbin/xrdp-sesman", "/usr/bin/xclip",
                             "/etc/xrdp/xrdp.ini", "/usr/lib/xorg/modules/drivers/xrdpdev_drv.so"})
        if (!QFileInfo::exists(file)) return QStringLiteral("%1 is not installed").arg(file);
    return {};
}

QString XrdpServer::UserName(int user) {
    return TestUsers[std::clamp(user, 0, MaximumUsers - 1)];
}

QString XrdpServer::Password() {
    return TestPassword;
}

bool XrdpServer::Start() {
    if (machineLock_ < 0 && (machineLock_ = TakeMachineLock()) < 0)
        return (error_ = "another test run keeps xrdp's session manager busy"), false;
    if (!folder_.isValid()) return (error_ = "no temporary folder"), false;
    for (int user = 0; user < users_; ++user)
        if (!EnsureTestUser(TestUsers[user])) return (error_ = "cannot create the test user"), false;
    QDir().mkpath("/run/xrdp/sockdir");
    QFile::setPermissions("/run/xrdp/sockdir", QFileDevice::Permissions(0x7777));
    if (!WriteConfiguration(folder_.path(), address_, port_, users_ > 1))
        return (error_ = "cannot write xrdp.ini"), false;
    sesman_ = std::make_unique<QProcess>();
    sesman_->setStandardOutputFile(folder_.path() + "/sesman.out");
    sesman_->setStandardErrorFile(folder_.path() + "/sesman.out");
    sesman_->start("/usr/sbin/xrdp-sesman", {"--nodaemon", "--config", folder_.path() + "/sesman.ini"});
    xrdp_ = std::make_unique<QProcess>();
    xrdp_->setStandardOutputFile(folder_.path() + "/xrdp.out");
    xrdp_->setStandardErrorFile(folder_.path() + "/xrdp.out");
    xrdp_->start("/usr/sbin/xrdp", {"--nodaemon", "--config", folder_.path() + "/xrdp.ini"});
    if (!sesman_->waitForStarted(5000) || !xrdp_->waitForStarted(5000))
        return (error_ = "xrdp did not start"), false;
    if (!WaitFor([this] { return Listening(address_, port_); }, 10000))
        return (error_ = "xrdp does not listen"), false;
    return true;
}

void XrdpServer::Stop(std::unique_ptr<QProcess> &process) {
    if (!process || process->state() == QProcess::NotRunning) return;
    process->terminate();
    if (!process->waitForFinished(5000)) {
        process->kill();
        process->waitForFinished(2000);
    }
}

QString XrdpServer::SessionDisplay(int user) const {
    QProcess list;
    list.start("pgrep", {"-a", "-u", UserName(user), "Xorg"});
    list.waitForFinished(5000);
    const QRegularExpressionMatch match =
        QRegularExpression(" (:[0-9]+) ").match(QString::fromUtf8(list.readAllStandardOutput()));
    return match.hasMatch() ? match.captured(1) : QString();
}

std::unique_ptr<QProcess> XrdpServer::AsUser(const QStringList &arguments, int user,
                                             const QString &program) const {
    auto process = std::make_unique<QProcess>();
    const passwd *account = getpwnam(UserName(user).toLocal8Bit().constData());
    if (!account) return process;
    const uid_t uid = account->pw_uid;
    const gid_t gid = account->pw_gid;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", SessionDisplay(user));
    environment.insert("XAUTHORITY", QString::fromLocal8Bit(account->pw_dir) + "/.Xauthority");
    environment.insert("HOME", QString::fromLocal8Bit(account->pw_dir));
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(QString::fromLocal8Bit(account->pw_dir));
    process->setChildProcessModifier([uid, gid] {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
    });
    process->start(program, arguments);
    return process;
}

void XrdpServer::StartInSession(const QString &program, const QStringList &arguments) {
    sessionPrograms_.push_back(AsUser(arguments, 0, program));
}

std::optional<QByteArray> XrdpServer::RunInSession(const QString &program, const QStringList &arguments,
                                                   int milliseconds) {
    std::unique_ptr<QProcess> process = AsUser(arguments, 0, program);
    if (!process->waitForStarted(5000)) return std::nullopt;
    const bool finished = WaitFor([&] { return process->state() == QProcess::NotRunning; }, milliseconds);
    if (!finished) {
        Stop(process);
        return std::nullopt;
    }
    if (process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0) return std::nullopt;
    return process->readAllStandardOutput();
}

QString XrdpServer::UserHome() {
    const passwd *user = getpwnam(TestUsers[0]);
    return user ? QString::fromLocal8Bit(user->pw_dir) : QString();
}

bool XrdpServer::CopyInSession(const QByteArray &data, const QString &target, int user) {
    std::unique_ptr<QProcess> &copier = copier_[std::clamp(user, 0, MaximumUsers - 1)];
    Stop(copier);
    // -quiet keeps xclip in the foreground, so it is ended by its pid.
    QStringList arguments{"-quiet", "-selection", "clipboard", "-i"};
    if (!target.isEmpty()) arguments << "-t" << target;
    copier = AsUser(arguments, user);
    if (!copier->waitForStarted(5000)) return false;
    copier->write(data);
    copier->closeWriteChannel();
    return true;
}

QByteArray XrdpServer::PasteInSession(int milliseconds, const QString &target, int user) {
    QStringList arguments{"-selection", "clipboard", "-o"};
    if (!target.isEmpty()) arguments << "-t" << target;
    std::unique_ptr<QProcess> paster = AsUser(arguments, user);
    if (!paster->waitForStarted(5000)) return {};
    const bool finished = WaitFor([&] { return paster->state() == QProcess::NotRunning; }, milliseconds);
    if (!finished) {
        Stop(paster);
        return {};
    }
    return paster->exitCode() == 0 ? paster->readAllStandardOutput() : QByteArray();
}

void XrdpServer::EndUserSession() {
    for (int user = 0; user < users_; ++user) {
        QProcess list;
        list.start("pgrep", {"-u", UserName(user)});
        list.waitForFinished(5000);
        for (const QByteArray &line : list.readAllStandardOutput().split('\n'))
            if (const int pid = line.trimmed().toInt(); pid > 0) kill(pid, SIGTERM);
    }
}

} // namespace tsc::test
