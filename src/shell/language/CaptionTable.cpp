#include "CaptionTable.h"

#include <algorithm>

namespace tsc::language {

namespace {

constexpr CaptionRow Rows[] = {
    {"004", "00000001", "Label_LBSeamLess", "Load Balancing :: Seamless"},
    {"004", "00000010", "TabSheet_Authorization", "Authorization"},
    {"004", "00000011", "Label_userName", "Username:"},
    {"004", "00000012", "Label_password", "Password:"},
    {"004", "00000013", "cb_SaveMyPassword", "Save my password"},
    {"004", "00000014", "Label_Domain", "Domain:"},
    {"004", "00000015", "Label_Host", "Host:"},
    {"004", "00000016", "Label_PreferredServer", "Preferred Server: "},
    {"004", "00000017", "Label_DomainPreferredServer", "Domain:"},
    {"004", "00000018", "Label_EnterAnServerForTheFarm",
     "Please enter a name and portnumner of a server in the Farm:"},
    {"004", "00000019", "bn_OkFirstTimeServer", "OK"},
    {"004", "00000040", "TabSheet_Settings", "Settings"},
    {"004", "00000041", "Label_WEZ_options", "Options"},
    {"004", "00000042", "cb_DoLoadBalancing", "Do Load Balancing"},
    {"004", "00000043", "cb_DoAskLoadBalancingHostname", "Ask user for Load Balancing hostname"},
    {"004", "00000044", "cb_DoSeamless", "Show remote desktop Seamless"},
    {"004", "00000045", "Label_Desktopsize", "Desktop size:"},
    {"004", "00000046", "Label_DisplayConnectionBar", "Connection Bar:"},
    {"004", "00000047", "cb_DisplayConnectionBar", "Display connection bar when showing full screen"},
    {"004", "00000048", "Label_Colors", "Colors:"},
    {"004", "00000049", "Label_Sound", "Sound:"},
    {"004", "00000050", "Label_WindowsKeys", "Windows keys:"},
    {"004", "00000051", "Label_LocalDevices", "Local devices:"},
    {"004", "00000052", "cb_ConnectDiskDrives", "Connect disk drives"},
    {"004", "00000053", "cb_ConnectPrinters", "Connect printers"},
    {"004", "00000054", "cb_CommPorts", "Serial ports (com ports)"},
    {"004", "00000055", "cb_SmartCards", "Smart cards"},
    {"004", "00000056", "Label_Performance", "Performance:"},
    {"004", "00000057", "cb_Bitmapcaching", "Bitmap caching"},
    {"004", "00000058", "cb_Themes", "Themes"},
    {"004", "00000069", "cb_Animation", "Menu and Window animation"}, // 69, not 59
    {"004", "00000060", "cb_WindowDragging", "Show window content while dragging the window"},
    {"004", "00000061", "cb_Background", "Show Desktop background"},
    {"004", "00000062", "cb_DoSSLGateway", "SSL"},
    // The engine page: on this platform the sessions run in the FreeRDP engine.
    {"004", "00000080", "TabSheet_MSRDP", "FreeRDP"},
    {"004", "00000081", "Label_Explain_MSRDPClient",
     "The Load balancing / Seamless client runs its sessions in the FreeRDP engine library. It needs the "
     "client's engine module and the FreeRDP 2 package (libfreerdp-client2-2). After the installation of the "
     "package, click on Register in order to make the RDP software Active on this PC."},
    {"004", "00000082", "Label_CurrentStatus", "Current Status:"},
    {"004", "00000083", "Label_MSRDP_Step1",
     "Step 1: install the FreeRDP 2 package with the package manager:"},
    {"004", "00000084", "bn_DownLoadMSRDP", "Package information"},
    {"004", "00000085", "Label_MSRDP_Step1a", "apt-get install libfreerdp-client2-2"},
    {"004", "00000086", "Label_MSRDP_Step2",
     "Step 2: When the installation of the package is finished, click on Register:"},
    {"004", "00000087", "bn_RegisterMSTSCAX", "Register FreeRDP engine"},
    {"004", "00000100", "TabSheet_FarmInfo", "Farm Info"},
    {"004", "00000101", "Label_Servers", "Servers:"},
    {"004", "00000102", "Label_PreferedServers", "Preferred:"},
    {"004", "00000103", "Label_PreferedDomainServer", "Domain:"},
    {"004", "00000104", "Label_AvailableServers", "The following servers are available in the Farm:"},
    {"004", "00000120", "TabSheet_Logging", "Logging"},
    {"004", "00000200", "bn_OtherFarm", "Other Farm"},
    {"004", "00000201", "bn_Connect", "Connect"},
    {"004", "00000202", "bn_Close", "Close"},
    {"002", "00000050", "TabSheet_Support", "Support"},
    {"002", "00000055", "bn_Zip", "ZIP"},
    {"004", "00000300", "TabSheet_MultipleConnections", "Connections"},
    {"004", "00000301", "rb_SingleConnectionUsage", "Single connection usage"},
    {"004", "00000302", "rb_MultipleConnectionUsage", "Multiple connection usage"},
    {"004", "00000303", "lb_FolderMultipleConnectionsRDPFiles", "Folder for RDP-Connection files"},
    {"004", "00000304", "bn_FolderMultipleConnectionsRDPFiles", "Folder"},
    {"004", "00000305", "bn_MultipleConnectionsRDPFiles_Delete", "Delete"},
    {"004", "00000306", "bn_MultipleConnectionsRDPFiles_Duplicate", "Duplicate"},
    {"004", "00000307", "bn_MultipleConnectionsRDPFiles_Rename", "Rename"},
};

constexpr CaptionRow GridHeadings[] = {
    {"004", "00000105", "StringGrid_Servers:0", "Server"},
    {"004", "00000106", "StringGrid_Servers:1", "IP Address"},
    {"004", "00000107", "StringGrid_Servers:2", "RDP Port"},
    {"004", "00000109", "StringGrid_Servers:3", "RDP+ Port"},
    {"004", "00000108", "StringGrid_Servers:4", "Load balancing Port"},
};

constexpr const char *SupportLines[] = {
    "Create a ZIP-file for support purposes.",
    "",
    "A zipfile will be created and placed on the desktop. This zipfile contains:",
    "- the logging of the Terminal Server software,",
    "- various Windows system files,",
    "- various Registry settings.",
    "Only your own files go in: the folders of other users are left out.",
    "",
    "In case you send an email with a support request, it is always good to include this ZIP-",
    "file in the mail, because it will assist us in analyzing the problem.",
};

} // namespace

std::span<const CaptionRow> CaptionRows() {
    return Rows;
}
std::span<const CaptionRow> ServerGridHeadings() {
    return GridHeadings;
}
std::span<const char *const> SupportTextLines() {
    return SupportLines;
}

std::string SupportTextDefault() {
    std::string text;
    for (const char *line : SupportLines) {
        if (!text.empty() || line != SupportLines[0]) text += "\r\n";
        text += line;
    }
    return text;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\r' || text[i] == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
            start = i + 1;
        }
    }
    return lines;
}

std::string_view CaptionDefault(std::string_view objectName) {
    for (const CaptionRow &row : Rows)
        if (objectName == row.objectName) return row.defaultText;
    return {};
}

std::vector<KeyText> AllCaptionKeys() {
    std::vector<KeyText> keys;
    const auto add = [&keys](const CaptionRow &row, std::string text) {
        keys.push_back({std::string(row.prefix) + "-" + row.identifier, std::move(text), row.objectName});
    };
    for (const CaptionRow &row : Rows)
        add(row, row.defaultText);
    for (const CaptionRow &row : GridHeadings)
        add(row, row.defaultText);
    for (const CaptionRow *row : {&StatusRegisterMissing, &StatusEngineMissing, &StatusOk})
        add(*row, row->defaultText);
    add(SupportText, SupportTextDefault());
    return keys;
}

std::vector<ResolvedCaption>
ResolveCaptions(const std::function<std::string(std::string_view objectName)> &currentText,
                const LookupFunction &lookup) {
    std::vector<ResolvedCaption> captions;
    captions.reserve(std::size(Rows));
    for (const CaptionRow &row : Rows)
        captions.push_back({row.objectName, lookup(row.prefix, row.identifier, currentText(row.objectName))});
    return captions;
}

} // namespace tsc::language
