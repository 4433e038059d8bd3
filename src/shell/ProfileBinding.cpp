#include "ProfileBinding.h"

#include "MainWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>

#include <array>
#include <utility>

namespace tsc::shell {

namespace {

std::string Text(const QLineEdit *edit) {
    return edit->text().toStdString();
}
QString Q(const std::string &text) {
    return QString::fromStdString(text);
}

bool TabVisible(const MainWindow &window, QWidget *page) {
    return window.PageControl_kiv->isTabVisible(window.PageControl_kiv->indexOf(page));
}

// The check boxes and the setting each one carries, for both directions.
template <typename Window, typename Settings> auto CheckBoxes(Window &w, Settings &s) {
    using Pair = std::pair<QCheckBox *, decltype(&s.saveMyPassword)>;
    return std::array<Pair, 16>{{
        {w.cb_SaveMyPassword, &s.saveMyPassword},
        {w.cb_DoLoadBalancing, &s.doLoadBalancing},
        {w.cb_DoAskLoadBalancingHostname, &s.doAskLoadBalancingHostname},
        {w.cb_DoSeamless, &s.doSeamless},
        {w.cb_DoRDPPlus, &s.doRdpPlus},
        {w.cb_DoSSLGateway, &s.doSslGateway},
        {w.cb_DisplayConnectionBar, &s.displayConnectionBar},
        {w.cb_ConnectDiskDrives, &s.connectDiskDrives},
        {w.cb_ConnectPrinters, &s.connectPrinters},
        {w.cb_CommPorts, &s.commPorts},
        {w.cb_SmartCards, &s.smartCards},
        {w.cb_Bitmapcaching, &s.bitmapCaching},
        {w.cb_Themes, &s.themes},
        {w.cb_Animation, &s.animation},
        {w.cb_WindowDragging, &s.windowDragging},
        {w.cb_Background, &s.background},
    }};
}

template <typename Window, typename Settings> auto Lists(Window &w, Settings &s) {
    using Pair = std::pair<QComboBox *, decltype(&s.colorsIndex)>;
    return std::array<Pair, 3>{{
        {w.cb_Colors, &s.colorsIndex},
        {w.cb_Sound, &s.soundIndex},
        {w.cb_WindowsKeys, &s.windowsKeysIndex},
    }};
}

void ApplyDesktopSize(MainWindow &window, const profiles::ProfileSettings &settings) {
    {
        // The size handling runs once, below, whether or not the index changed.
        const QSignalBlocker quiet(window.cb_Desktopsize);
        window.cb_Desktopsize->setCurrentIndex(settings.desktopSizeIndex);
    }
    window.cb_DesktopsizeChange();
}

void ApplyRdpPlus(MainWindow &window, const profiles::ProfileSettings &settings) {
    for (QWidget *control :
         std::initializer_list<QWidget *>{window.cb_DoRDPPlus, window.cb_DoSSLGateway, window.cbx_SelectCert})
        control->setEnabled(settings.rdpPlusControlsEnabled);
    window.SetPageTabVisible(window.TabSheet_RDPPlus, settings.rdpPlusPageVisible);
}

} // namespace

profiles::ProfileSettings CollectProfileSettings(const MainWindow &window) {
    profiles::ProfileSettings settings = window.Core().Settings();
    settings.userName = Text(window.edit_UserName);
    settings.password = Text(window.edit_Password);
    settings.domain = Text(window.edit_Domain);
    settings.host = Text(window.Edit_Host);
    for (const auto &[box, value] : CheckBoxes(window, settings))
        *value = box->isChecked();
    for (const auto &[list, value] : Lists(window, settings))
        *value = list->currentIndex();
    settings.rdpPlusControlsEnabled = window.cb_DoRDPPlus->isEnabled();
    settings.rdpPlusPageVisible = TabVisible(window, window.TabSheet_RDPPlus);
    settings.desktopSizeIndex = window.cb_Desktopsize->currentIndex();
    return settings;
}

void ShowProfileSettings(MainWindow &window, const profiles::ProfileSettings &settings) {
    ApplyDesktopSize(window, settings);
    for (const auto &[list, value] : Lists(window, settings))
        list->setCurrentIndex(*value);
    // The user name before the password: emptying the name empties the password.
    window.edit_UserName->setText(Q(settings.userName));
    window.edit_Password->setText(Q(settings.password));
    window.edit_Domain->setText(Q(settings.domain));
    window.Edit_Host->setText(Q(settings.host));
    // Through setChecked, so the boxes' own handlers (seamless display) run as on a click.
    for (const auto &[box, value] : CheckBoxes(window, settings))
        box->setChecked(*value);
    ApplyRdpPlus(window, settings);

    // A read-only profile cannot take changes; the next profile read may allow them again.
    for (QFrame *panel : {window.Panel_Settings1, window.Panel_Settings2, window.Panel_Settings3})
        panel->setEnabled(!settings.profileReadOnly);
    if (settings.hideSettings) {
        for (QWidget *page :
             {window.TabSheet_FarmInfo, window.TabSheet_Logging, window.TabSheet_MSRDP,
              window.TabSheet_MultipleConnections, window.TabSheet_RDPPlus, window.TabSheet_Settings})
            window.SetPageTabVisible(page, false);
    }
    window.panel_AskFirstTime->hide();
    window.Panel_UserPswDomain->show();
    ShowLoadBalancingControls(window);
}

// With load balancing the Farm names the server and the domain: the host and domain
// fields give way to the preferred server and its domain.
void ShowLoadBalancingControls(MainWindow &window) {
    const bool balancing = window.cb_DoLoadBalancing->isChecked();
    for (QWidget *typed : std::initializer_list<QWidget *>{window.edit_Domain, window.Label_Domain,
                                                           window.Edit_Host, window.Label_Host})
        typed->setVisible(!balancing);
    window.Panel_PreferredServer_Domain->setVisible(balancing);
    window.cb_DoAskLoadBalancingHostname->setEnabled(balancing);
    window.bn_OtherFarm->setVisible(balancing);
    if (!balancing) {
        window.panel_AskFirstTime->hide();
        window.Panel_UserPswDomain->show();
    }
}

} // namespace tsc::shell
