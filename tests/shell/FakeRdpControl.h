#pragma once

// An RDP control without a connection: it keeps the settings it was started with,
// refuses desktop sizes above a limit, and lets a test raise events and paint its
// frame buffer.

#include "RdpControl.h"

#include <QStringList>

#include <vector>

namespace tsc::shell::testing {

class FakeRdpControl final : public tsc::RdpControl {
  public:
    struct Record {
        QStringList calls; // "AcceptsDesktopSize 1152 x 864", "Connect", "Disconnect", ...
        int connects = 0;
        bool destroyed = false;
    };

    FakeRdpControl(Record &record, QSize largestSize = {4096, 2048})
        : record_(record), largest_(largestSize) {}
    ~FakeRdpControl() override { record_.destroyed = true; }

    bool AcceptsDesktopSize(int width, int height) const override {
        record_.calls << QStringLiteral("AcceptsDesktopSize %1 x %2").arg(width).arg(height);
        return width <= largest_.width() && height <= largest_.height() &&
               RdpControl::AcceptsDesktopSize(width, height);
    }
    const ConnectionSettings &Settings() const override { return settings_; }
    bool FullScreen() const override { return fullScreen_; }
    void SetFullScreen(bool fullScreen) override { fullScreen_ = fullScreen; }
    RdpConnectionState Connected() const override { return state_; }

    bool Connect(const ConnectionSettings &settings) override {
        settings_ = settings;
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
        if (pixels_.empty()) return {};
        return {reinterpret_cast<const std::uint8_t *>(pixels_.data()), frameSize_.width(),
                frameSize_.height(), frameSize_.width() * 4};
    }
    void SendKey(std::uint32_t, bool) override {}
    void SendMouseMove(int, int) override {}
    void SendMouseButton(RdpMouseButton, bool, int, int) override {}
    void SendWheel(int, bool, int, int) override {}
    void SetFocus(bool) override {}

    // Test side: what the server reports back.
    void SetDomain(const std::string &domain) { settings_.domain = domain; }
    void SetUserName(const std::string &userName) { settings_.userName = userName; }
    void SetMonitors(std::vector<MonitorDefinition> monitors) { settings_.monitors = std::move(monitors); }
    // Paints one rectangle of the frame Paint made.
    void PaintRect(const QRect &area, std::uint32_t rgb) {
        {
            std::lock_guard lock(lock_);
            const QRect inside = area & QRect(QPoint(0, 0), frameSize_);
            for (int y = inside.top(); y <= inside.bottom(); ++y)
                for (int x = inside.left(); x <= inside.right(); ++x)
                    pixels_[static_cast<std::size_t>(y * frameSize_.width() + x)] = rgb & 0xFFFFFFu;
        }
        if (frames_) frames_->OnFrameUpdated(QRegion(area));
    }
    void Paint(QSize size, std::uint32_t rgb) {
        {
            std::lock_guard lock(lock_);
            frameSize_ = size;
            // As the engine's: the fourth byte of a pixel is 0, no alpha.
            pixels_.assign(static_cast<std::size_t>(size.width() * size.height()), rgb & 0xFFFFFFu);
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
    ConnectionSettings settings_;
    bool fullScreen_ = false;
    RdpConnectionState state_ = RdpConnectionState::NotConnected;
    RdpControlEvents *events_ = nullptr;
    RdpFrameEvents *frames_ = nullptr;
    std::mutex lock_;
    QSize frameSize_;
    std::vector<std::uint32_t> pixels_;
};

} // namespace tsc::shell::testing
