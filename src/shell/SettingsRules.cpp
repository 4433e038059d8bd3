#include "SettingsRules.h"

#include <charconv>

namespace tsc::shell {

const char *SizeFieldFallbackText(SizeField field) {
    return field == SizeField::Width ? "1024" : "800";
}

SizeFieldOutcome CheckSizeField(std::string_view text, int selectedIndex, SizeField field) {
    using Action = SizeFieldOutcome::Action;
    if (text.empty()) return {};
    unsigned long long number = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (error == std::errc{} && stop == end && number <= DesktopSizeLimit)
        return {Action::Store, static_cast<std::uint16_t>(number), std::string(text)};
    if (IsFullScreenIndex(selectedIndex)) return {Action::EmptyField, 0, {}};
    const std::string fallback = SizeFieldFallbackText(field);
    return {Action::UseFallback, static_cast<std::uint16_t>(std::stoi(fallback)), fallback};
}

WindowHeights PageHeights(bool shortPage, bool multipleConnections, int selectorPanelHeight,
                          int currentHeight, int pixelsPerInch) {
    if (shortPage) {
        const int design = multipleConnections ? 360 + selectorPanelHeight : 360;
        const int height = ScaledHeight(design, pixelsPerInch);
        return {height, height};
    }
    const int minimum = ScaledHeight(610, pixelsPerInch);
    return {minimum, currentHeight < minimum ? minimum : currentHeight};
}

int TopOnFirstMonitor(int monitorTop, int monitorHeight, int windowTop, int windowHeight) {
    int top = windowTop;
    if (monitorHeight < top + windowHeight) top = monitorHeight - windowHeight - 40;
    if (top < monitorTop) top = monitorTop;
    return top;
}

} // namespace tsc::shell
