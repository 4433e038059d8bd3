#pragma once

// An RDP control without a connection: it keeps the properties as they were set,
// refuses desktop sizes above a limit, and lets a test raise events and paint its
// frame buffer.

#include "RdpControl.h"

#include <QStringList>

#include <vector>

namespace tsc::shell::testing {

class FakeRdpControl final : public tsc::RdpControl {
public:
    struct Record {
        QStringList calls; // "Connect", "Disconnect", "SetDesktopWidth 1152", ...
        int connects = 0;
        bool destroyed = false;
    };

    FakeRdpControl(Record &record, QSize largestSize = {4096, 2048}) : record_(record), largest_(largestSize) {}
    ~FakeRdpControl() override { record_.destroyed = true; }

    QString Server() const override { return server_; }
    void SetServer(const QString &server) override { server_ = server; }
    QString Domain() const override { return domain_; }
    void SetDomain(const QString &domain) override {
        domain_ = domain;
        record_.calls << "SetDomain " + domain;
    }
    QString UserName() const override { return userName_; }
    void SetUserName(const QString &userName) override { userName_ = userName; }
    int DesktopWidth() const override { return width_; }
    bool SetDesktopWidth(int width) override {
        record_.calls << QStringLiteral("SetDesktopWidth %1").arg(width);
        if (width > largest_.width())
            return false;
        width_ = width;
        return true;
    }
    int DesktopHeight() const override { return height_; }
    bool SetDesktopHeight(int height) override {
        if (height > largest_.height())
            return false;
        height_ = height;
        return true;
    }
    int ColorDepth() const override { return depth_; }
    bool SetColorDepth(int depth) override {
        if (!IsSupportedColorDepth(depth))
            return false;
        depth_ = depth;
        return true;
    }
    bool FullScreen() const override { return fullScreen_; }
    void SetFullScreen(bool fullScreen) override { fullScreen_ = fullScreen; }
    RdpConnectionState Connected() const override { return state_; }
    RdpSecuredSettings &SecuredSettings() override { return secured_; }
    RdpSecuredSettings2 &SecuredSettings2() override { return secured2_; }
    RdpAdvancedSettings &AdvancedSettings() override { return advanced_; }
    RdpAdvancedSettings2 &AdvancedSettings2() override { return advanced2_; }

    bool Connect() override {
        record_.calls << "Connect";
        ++record_.connects;
        state_ = RdpConnectionState::Connecting;
        return true;
    }
    void Disconnect() override {
        record_.calls << "Disconnect";
        state_ = RdpConnectionState::NotConnected;
    }
    void SetEventHandler(RdpControlEvents *handler) override { events_ = handler; }
    void SetFrameHandler(RdpFrameEvents *handler) override { frames_ = handler; }
    void SetLogSink(LogSink *) override {}
    std::mutex &FrameLock() override { return lock_; }
    RdpFrame Frame() const override {
        if (pixels_.empty())
            return {};
        return {reinterpret_cast<const std::uint8_t *>(pixels_.data()), frameSize_.width(), frameSize_.height(),
                frameSize_.width() * 4};
    }
    void SendKey(std::uint32_t, bool) override {}
    void SendMouseMove(int, int) override {}
    void SendMouseButton(RdpMouseButton, bool, int, int) override {}
    void SendWheel(int, bool, int, int) override {}
    void SetFocus(bool) override {}

    // Test side.
    void Paint(QSize size, std::uint32_t rgb) {
        {
            std::lock_guard lock(lock_);
            frameSize_ = size;
            pixels_.assign(static_cast<std::size_t>(size.width() * size.height()), 0xFF000000u | rgb);
        }
        if (frames_) {
            frames_->OnFrameResized(size);
            frames_->OnFrameUpdated(QRegion(0, 0, size.width(), size.height()));
        }
    }
    void RaiseLoginComplete() {
        state_ = RdpConnectionState::Connected;
        events_->OnConnected();
        events_->OnLoginComplete();
    }
    void RaiseDisconnected(int reason) {
        state_ = RdpConnectionState::NotConnected;
        events_->OnDisconnected(reason);
    }
    [[nodiscard]] RdpControlEvents *Events() const { return events_; }

private:
    Record &record_;
    QSize largest_;
    QString server_, domain_, userName_;
    int width_ = 1024, height_ = 768, depth_ = 16;
    bool fullScreen_ = false;
    RdpConnectionState state_ = RdpConnectionState::NotConnected;
    RdpSecuredSettings secured_;
    RdpSecuredSettings2 secured2_;
    RdpAdvancedSettings advanced_;
    RdpAdvancedSettings2 advanced2_;
    RdpControlEvents *events_ = nullptr;
    RdpFrameEvents *frames_ = nullptr;
    std::mutex lock_;
    QSize frameSize_;
    std::vector<std::uint32_t> pixels_;
};

} // namespace tsc::shell::testing
