#pragma once

// Finds and loads the engine library, which offers the RDP control. Loading happens
// once per process and the library stays loaded: its protocol library keeps threads
// and state for the life of the process.

#include "RdpControl.h"

#include <QLibrary>
#include <QString>
#include <QStringList>

#include <memory>

namespace tsc {

class RdpEngineLibrary {
  public:
    // The environment variable that names the engine library to use (tests, packagers).
    static constexpr char OverrideVariable[] = "TSC_RDP_ENGINE";

    // The engine library's path: the override when set; else the engine the
    // executable carries (a memory file); otherwise the first that exists of
    // CandidatePaths for this executable. When none exists, the first.
    [[nodiscard]] static QString LibraryPath();
    // The engine's file name for log lines.
    [[nodiscard]] static QString LibraryName();
    // Where an executable in executableFolder looks for the engine on disk: beside
    // itself and in the install folder relative to it, where nobody but the user or
    // root can change that folder and it is not the data folder; the build tree only
    // when the executable itself is in the build tree.
    [[nodiscard]] static QStringList CandidatePaths(const QString &executableFolder);

    [[nodiscard]] static RdpEngineLibrary &Instance();

    // Loads the library (only the first call does the work). On failure `error`
    // gets the loader's message.
    [[nodiscard]] bool Load(QString *error = nullptr);
    // The protocol library's version as four numbers ("2.11.7.0"); empty when the
    // library cannot be loaded.
    [[nodiscard]] QString Version();
    // A new control, or null with `error` set.
    [[nodiscard]] std::unique_ptr<RdpControl> CreateControl(QString *error = nullptr);

  private:
    RdpEngineLibrary() = default;
    std::unique_ptr<QLibrary> library_; // never unloaded (see above)
    bool attempted_ = false;
    QString loadError_;
    TscRdpEngineCreateControl createControl_ = nullptr;
    TscRdpEngineVersion version_ = nullptr;
};

} // namespace tsc
