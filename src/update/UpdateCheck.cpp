#include "UpdateCheck.h"

#include "FileOperations.h"
#include "HttpClient.h"
#include "LogSink.h"
#include "SystemInfo.h"
#include "TimeText.h"
#include "UpdateNames.h"
#include "UpdateSignature.h"
#include "UpdateTrust.h"
#include "VersionFile.h"
#include "VersionedCopies.h"

#include <stdexcept>
#include <utility>

namespace tsc::update {

namespace {
constexpr char InfoTag[] = "|I Thread| ";
constexpr char ErrorTag[] = "|E Thread| ";
} // namespace

struct UpdateService::Worker {
    std::unique_ptr<HttpClient> http; // lives until the thread is joined
    std::atomic<bool> finished{false};
    std::thread thread;
};

// One check, run on the worker thread from start to end.
class UpdateCheckRun {
  public:
    UpdateCheckRun(UpdateService &service, UpdateService::Worker &worker, std::string host,
                   UpdateCheckSettings settings)
        : service_(service), http_(worker.http.get()), baseUrl_("http://" + host + "/"),
          settings_(std::move(settings)) {}

    void Run();

  private:
    void Info(const std::string &text) { service_.Append(TimeStampText() + InfoTag + text); }
    void Error(const std::string &text) { service_.Append(TimeStampText() + ErrorTag + text); }
    [[nodiscard]] bool Closing() const { return service_.Closing(); }
    [[nodiscard]] bool At(Progress step) const { return progress_ == step && !Closing(); }

    void RequestVersion();
    void Compare();
    void Admit();
    void Fetch();
    void Download();
    void Verify();
    void DiscardDownload();
    void Report();
    [[nodiscard]] bool AcceptPublisher(const std::string &file, const std::string &signatureText);

    UpdateService &service_;
    HttpClient *http_;
    std::string baseUrl_;
    UpdateCheckSettings settings_;
    Progress progress_ = Progress::NoAnswer;
    std::string own_;
    std::string ownKey_;
    std::string version_;
    std::string signature_;
    std::string target_;
    std::string download_;
    std::string publisherSignatureText_;
};

void UpdateCheckRun::Run() {
    if (http_ && !Closing()) {
        own_ = FileVersionText(settings_.ownExecutable);
        ownKey_ = VersionKey(own_);
        Info("obtaining version and signature");
        Info("My version: " + own_);
        RequestVersion();
        Compare();
        Admit();
        Fetch();
        Verify();
        DiscardDownload();
    }
    Report();
}

void UpdateCheckRun::RequestVersion() {
    try {
        Info("Get version");
        std::string body;
        bool tooLong = false;
        const auto response =
            http_->Get(baseUrl_ + PublishedVersionFileName(), [&](std::string_view chunk, std::int64_t) {
                if (body.size() + chunk.size() > MaximumVersionReply) {
                    tooLong = true;
                    return false;
                }
                body.append(chunk);
                return true;
            });
        if (tooLong)
            Error("version reply longer than " + std::to_string(MaximumVersionReply) +
                  " bytes: no version file");
        else if (!response.error.empty())
            Error(response.error);
        if (Closing()) return;
        Info("Begin dump head:");
        for (const std::string &line : SplitReplyLines(response.header)) {
            Info(" " + line);
            // An error page is no version file, whatever it declares.
            if (DeclaresPlainText(line) && response.status == 200 && !tooLong)
                progress_ = Progress::PlainText;
        }
        Info("End: " + std::to_string(static_cast<int>(progress_)));
        if (At(Progress::PlainText)) {
            const auto published = ParseVersionBody(body);
            progress_ = published ? Progress::TwoLines : Progress::NoAnswer;
            if (published) {
                version_ = published->version;
                signature_ = published->signature;
            }
        }
        if (At(Progress::TwoLines)) {
            Info("Begin dump body:");
            for (const std::string &line : SplitReplyLines(body))
                Info(" " + line);
            Info("End");
        }
    } catch (...) {
        Error("Get: Not OK");
        progress_ = Progress::NoAnswer;
    }
}

void UpdateCheckRun::Compare() {
    if (!At(Progress::TwoLines)) return;
    const std::string key = VersionKey(version_);
    if (key.empty() || ownKey_.empty()) return;
    if (key != ownKey_) {
        progress_ = Progress::Differs;
        Info("client is not uptodate: " + key + " <> " + ownKey_);
    } else {
        progress_ = Progress::UpToDate;
        Info("client is uptodate: " + key + " = " + ownKey_);
    }
}

// Whether this client takes the published build at all: it must be allowed to take
// builds (a publisher key, an executable that is not the package's), and the build
// must be newer. One line says why not.
void UpdateCheckRun::Admit() {
    // A version that could not even name a file is refused by Fetch, with its own line.
    if (!At(Progress::Differs) || !IsPublishableVersion(version_)) return;
    if (const std::string refusal = UpdateRefusalLine(settings_.publisherKey, settings_.installedByPackage);
        !refusal.empty()) {
        Info(refusal);
        progress_ = Progress::Refused;
    } else if (!IsNewerVersion(version_, own_)) {
        Error("client " + version_ + " refused: it is not newer than " + own_);
        progress_ = Progress::Refused;
    }
}

bool UpdateCheckRun::AcceptPublisher(const std::string &file, const std::string &signatureText) {
    const PublisherKey &key = settings_.publisherKey;
    if (key.state != PublisherKey::State::Valid) return false; // Admit let nothing through
    const auto signature = ParseSignatureText(signatureText);
    const MappedFile content(file, MaximumExecutableSize);
    return signature && content.IsMapped() &&
           VerifyPublisherSignature(key.key, content.Data(), content.Size(), *signature);
}

void UpdateCheckRun::Fetch() {
    if (!At(Progress::Differs)) return;
    try {
        // The two lines become part of a file name: nothing but the published forms.
        if (!IsPublishableVersion(version_) || !IsPublishableSignature(signature_)) {
            Error("version file refused: the version must be four numbers and the signature 32 hexadecimal "
                  "digits");
            throw std::runtime_error("unusable version file");
        }
        const std::string name = VersionedCopyName(signature_, version_);
        target_ = WithoutTrailingSeparator(settings_.dataFolder) + "/" + name;
        if (FileFactsOf(target_).exists &&
            UntrustedCopyReason(target_, name, settings_.publisherKey).empty()) {
            Info("client: " + version_ + " already downloaded");
            progress_ = Progress::UpToDate;
            return;
        }
        Info("downloading client: " + version_);
        std::vector<std::string> deleted;
        DeleteVersionedCopies(&deleted, nullptr, settings_.dataFolder);
        for (std::string &line : deleted)
            service_.Append(std::move(line));
        Download();
        progress_ = Progress::Requested;
    } catch (...) {
        progress_ = Progress::NoAnswer;
        Error("Get client");
    }
}

void UpdateCheckRun::Download() {
    download_ = DownloadPath(target_);
    NewFile file;
    if (const int code = file.Create(download_, 0700); code != 0) {
        Error("Cannot create " + download_ + ": " + SystemErrorText(code));
        download_.clear();
        throw std::runtime_error("no download file");
    }
    const std::uint64_t space = FreeSpace(settings_.dataFolder).value_or(0);
    const std::uint64_t limit = std::min(MaximumExecutableSize, space);
    std::uint64_t written = 0;
    std::string refusal;
    const auto response =
        http_->Get(baseUrl_ + PublishedExecutableName(), [&](std::string_view chunk, std::int64_t total) {
            if (total > 0 && static_cast<std::uint64_t>(total) > limit) {
                refusal = "client of " + std::to_string(total) + " bytes refused: more than " +
                          std::to_string(limit) + " bytes (the limit or the free space)";
                return false;
            }
            written += chunk.size();
            if (written > limit) {
                refusal = "client download refused beyond " + std::to_string(limit) +
                          " bytes (the limit or the free space)";
                return false;
            }
            if (const int code = file.Write(chunk.data(), chunk.size()); code != 0) {
                refusal = "Cannot write " + download_ + ": " + SystemErrorText(code);
                return false;
            }
            return true;
        });
    if (!refusal.empty())
        Error(refusal);
    else if (!response.error.empty())
        Error(response.error);
    if (const int code = file.Close(); code != 0 && refusal.empty())
        Error("Cannot write " + download_ + ": " + SystemErrorText(code));
    if (settings_.publisherKey.state != PublisherKey::State::Valid || Closing()) return;
    bool tooLong = false;
    const auto signatureResponse =
        http_->Get(baseUrl_ + PublishedSignatureName(), [&](std::string_view chunk, std::int64_t) {
            tooLong = publisherSignatureText_.size() + chunk.size() > MaximumSignatureFile;
            if (!tooLong) publisherSignatureText_.append(chunk);
            return !tooLong;
        });
    if (!signatureResponse.error.empty()) Error(signatureResponse.error);
    if (signatureResponse.status != 200 || tooLong) publisherSignatureText_.clear();
}

void UpdateCheckRun::Verify() {
    if (!At(Progress::Requested)) return;
    bool good = SignaturesEqual(UpdateSignature(download_), signature_);
    if (good && !AcceptPublisher(download_, publisherSignatureText_)) {
        Error("client downloaded. Publisher signature wrong or missing");
        good = false;
    }
    if (good && settings_.publisherKey.state == PublisherKey::State::Valid) {
        const std::string signaturePath = PublisherSignaturePath(target_);
        const std::string signatureDownload = DownloadPath(signaturePath);
        NewFile file;
        int code = file.Create(signatureDownload, 0600);
        if (code == 0) code = file.Write(publisherSignatureText_.data(), publisherSignatureText_.size());
        const int closed = file.Close();
        if (code == 0) code = closed;
        if (code == 0) code = RenameFileCode(signatureDownload, signaturePath);
        if (code != 0) {
            (void)DeleteFileCode(signatureDownload);
            Error("Cannot write " + signaturePath + ": " + SystemErrorText(code));
            good = false;
        }
    }
    if (good) {
        if (const int code = RenameFileCode(download_, target_); code != 0) {
            Error("Cannot rename " + download_ + ": " + SystemErrorText(code));
            good = false;
        } else {
            download_.clear();
        }
    }
    if (good) {
        Info("client downloaded. Signature OK");
        progress_ = Progress::Verified;
    } else {
        Error("client downloaded. Signature Wrong");
    }
}

// A download that did not become the versioned copy is never left behind.
void UpdateCheckRun::DiscardDownload() {
    if (download_.empty()) return;
    const int code = DeleteFileCode(download_);
    service_.Append(TimeStampText() + "|I Delete| " + download_);
    service_.Append(TimeStampText() + "|I Delete| " + SystemErrorText(code));
    download_.clear();
}

void UpdateCheckRun::Report() {
    if (static_cast<int>(progress_) < static_cast<int>(Progress::TwoLines) || Closing()) {
        Error("Get version -0a: Not OK: :" + YesNoText(http_ != nullptr));
    } else {
        Info("Get version -0a: OK");
        Info("Version:   " + version_);
        Info("Signature: " + signature_);
    }
}

// ---------------------------------------------------------------------------

UpdateCheckSettings UpdateCheckSettings::Current() {
    UpdateCheckSettings settings;
    settings.ownExecutable = ExecutablePath();
    settings.dataFolder = LongPathName(ApplicationDataFolder());
    settings.publisherKey = ConfiguredPublisherKey();
    const std::string installed = InstalledExecutable(ClientPlaces::Current());
    settings.installedByPackage = installed.empty() ? std::string() : InstalledByPackageReason(installed);
    return settings;
}

std::string UpdateHostOf(bool doLoadBalancing, std::string_view selectedServerHost,
                         std::string_view editHost) {
    const std::string_view host = doLoadBalancing ? selectedServerHost : editHost;
    return std::string(host.substr(0, host.find(':')));
}

UpdateService::UpdateService(std::function<bool()> closing) : closing_(std::move(closing)) {}

UpdateService::~UpdateService() {
    AbortUpdateTransfer();
}

bool UpdateService::CheckRunning() const {
    return worker_ && !worker_->finished.load(std::memory_order_acquire);
}

void UpdateService::Append(std::string line) {
    std::lock_guard lock(linesMutex_);
    lines_.push_back(std::move(line));
}

std::vector<std::string> UpdateService::TakeLines() {
    std::lock_guard lock(linesMutex_);
    return std::exchange(lines_, {});
}

bool UpdateService::StartUpdateCheck(LogSink &log, const std::string &host,
                                     const UpdateCheckSettings &settings) {
    if (host.empty()) return false;
    log.LogInfo("Ask server for update request: " + host);
    if (CheckRunning()) {
        log.LogWarning("Ask server for update refused: a check is still running");
        return false;
    }
    // Without a data folder there is nowhere safe to keep a build.
    if (settings.dataFolder.empty()) {
        log.LogWarning("Ask server for update refused: the client has no data folder to keep a build in");
        return false;
    }
    if (worker_ && worker_->thread.joinable()) worker_->thread.join();
    try {
        worker_ = std::make_unique<Worker>();
        Worker &worker = *worker_;
        status_.store(ThreadStatus::Working, std::memory_order_release);
        std::string failure;
        try {
            worker.http = std::make_unique<HttpClient>();
            HttpClient &http = *worker.http;
            http.SetTimeout(settings.timeout);
            http.SetPacketPause(settings.packetPause);
            http.SetReceiveBufferSize(settings.receiveBufferSize);
            const std::string base = "http://" + host + "/";
            const auto line = [this](const char *tag, std::string text) {
                return [this, tag, text] { Append(TimeStampText() + tag + text); };
            };
            http.SetNotifications({
                .hostResolved = line(InfoTag, "vl: host"),
                .invalidHost = line(ErrorTag, "vl: host failed"),
                .connected = line(InfoTag, "vl: connected: " + base),
                .connectionFailed = line(ErrorTag, "vl: connection failed: " + base),
                .disconnected = line(InfoTag, "vl: disconnected"),
                .success = line(InfoTag, "vl: OK"),
                .failure = line(ErrorTag, "vl: failed"),
                .packetReceived =
                    [this](std::uint64_t received, std::uint64_t total) {
                        Append(TimeStampText() + InfoTag + "vl: received: " + std::to_string(received) +
                               " of " + std::to_string(total));
                    },
            });
        } catch (...) {
            worker.http.reset();
            Append(TimeStampText() + ErrorTag + "services -4a: Not OK");
        }
        worker.thread = std::thread([this, &worker, host, settings] {
            UpdateCheckRun(*this, worker, host, settings).Run();
            status_.store(ThreadStatus::Ended, std::memory_order_release);
            worker.finished.store(true, std::memory_order_release);
        });
        return true;
    } catch (...) {
        worker_.reset();
        status_.store(ThreadStatus::Ended, std::memory_order_release);
        log.LogError("Could not create thread for update request");
        return false;
    }
}

void UpdateService::AbortUpdateTransfer() {
    if (!worker_) return;
    try {
        if (worker_->http) worker_->http->Abort();
    } catch (...) {
    }
    if (worker_->thread.joinable()) worker_->thread.join();
}

void UpdateService::DrainUpdateLogList(LogSink &log, bool logOpen) {
    if (draining_ || Status() != ThreadStatus::Ended || !logOpen) return;
    draining_ = true;
    status_.store(ThreadStatus::Draining, std::memory_order_release);
    try {
        for (const std::string &line : TakeLines())
            log.LogInfo(line);
        status_.store(ThreadStatus::Idle, std::memory_order_release);
    } catch (const std::exception &error) {
        log.LogError(std::string("Excp TM ") + error.what());
    } catch (...) {
        log.LogError("Excp TM ");
    }
    draining_ = false;
}

void UpdateService::DrainAtShutdown(LogSink &log) {
    for (const std::string &line : TakeLines())
        log.LogInfo(line);
}

} // namespace tsc::update
