// The language-file tool: makes a .lang file from a text file of
// "prefix-identifier:text" lines, two images and a font, lists what a .lang file
// holds, prints the keys a translation should cover, and checks a translation.

#include "CaptionTable.h"
#include "LanguageFormat.h"
#include "SettingsRules.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tsc::language;

int Usage() {
    std::fputs(
        "usage:\n"
        "  langtool make TEXT OUT.lang [--first-image FILE] [--second-image FILE]\n"
        "                [--font NAME] [--font-size POINTS] [--font-colour 0xBBGGRR] [--font-style BITS]\n"
        "  langtool list FILE.lang\n"
        "  langtool template            (every key of the client with its built-in text)\n"
        "  langtool check TEXT          (fails when a key of the client is missing)\n"
        "TEXT holds lines \"ppp-nnnnnnnn:text\"; \"//\" starts a comment, other lines are ignored.\n"
        "The first image (at most 10240 bytes) is the application icon and the logo, the second\n"
        "(at most 20488 bytes) the window and navigation bar icon. Font style bits: 1 bold,\n"
        "2 italic, 4 underline, 8 strike-out.\n",
        stderr);
    return 2;
}

std::optional<std::string> ReadFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<KeyText> ClientKeys() {
    std::vector<KeyText> keys = AllCaptionKeys();
    const auto addItems = [&keys](const auto &items, const char *list) {
        for (const auto &entry : items) {
            const tsc::shell::ListItem *item = nullptr;
            if constexpr (requires { entry.item; })
                item = &entry.item;
            else
                item = &entry;
            if (*item->identifier)
                keys.push_back({std::string(CaptionPrefix) + "-" + item->identifier, item->text, list});
        }
    };
    addItems(tsc::shell::DesktopSizeItems, "cbx_Desktopsize");
    addItems(tsc::shell::ColorItems, "cbx_Colors");
    addItems(tsc::shell::SoundItems, "cbx_Sound");
    addItems(tsc::shell::WindowsKeyItems, "cbx_WindowsKeys");
    addItems(tsc::shell::PrintFileItems, "cbx_PSPDFPrinterFilesSelect");
    return keys;
}

// Keys of the text, each with how often it occurs.
std::map<std::string, int> KeysOf(const std::string &text) {
    std::map<std::string, int> keys;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.size() > 13 && line[3] == '-' && line[12] == ':') ++keys[line.substr(0, 12)];
    return keys;
}

int Make(int argc, char **argv) {
    if (argc < 4) return Usage();
    FileContents contents;
    const auto text = ReadFile(argv[2]);
    if (!text) {
        std::fprintf(stderr, "langtool: cannot read %s\n", argv[2]);
        return 1;
    }
    contents.text = *text;
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--first-image" || option == "--second-image") {
            const auto image = ReadFile(value);
            if (!image) {
                std::fprintf(stderr, "langtool: cannot read %s\n", value.c_str());
                return 1;
            }
            auto &slot = option == "--first-image" ? contents.firstImage : contents.secondImage;
            slot.assign(image->begin(), image->end());
        } else if (option == "--font") {
            contents.font.name = value;
        } else if (option == "--font-size") {
            contents.font.pointSize = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 0));
        } else if (option == "--font-colour") {
            contents.font.colour = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 0));
        } else if (option == "--font-style") {
            contents.font.style = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 0));
        } else {
            return Usage();
        }
    }
    if ((argc - 4) % 2 != 0) return Usage();
    const auto file = BuildFile(contents);
    if (!file) {
        std::fprintf(stderr,
                     "langtool: a part is too large (text %zu of %u bytes, images %zu of %zu and %zu of %zu "
                     "bytes, font name %zu of %zu characters)\n",
                     contents.text.size(), MaximumTextLength, contents.firstImage.size(), FirstImageSlot,
                     contents.secondImage.size(), SecondImageSlot, contents.font.name.size(), FontNameSize);
        return 1;
    }
    const std::string out = argv[3];
    const std::string temporary = out + ".tmp";
    {
        std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
        stream.write(reinterpret_cast<const char *>(file->data()),
                     static_cast<std::streamsize>(file->size()));
        if (!stream.flush()) {
            std::fprintf(stderr, "langtool: cannot write %s\n", temporary.c_str());
            return 1;
        }
    }
    if (std::rename(temporary.c_str(), out.c_str()) != 0) {
        std::fprintf(stderr, "langtool: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

std::string ImageKind(std::span<const std::uint8_t> image) {
    if (image.empty()) return "none";
    const std::string_view start(reinterpret_cast<const char *>(image.data()),
                                 std::min<std::size_t>(image.size(), 8));
    std::string kind = "data";
    if (start.starts_with("\x89PNG"))
        kind = "PNG";
    else if (start.starts_with("BM"))
        kind = "BMP";
    else if (start.starts_with(std::string_view("\0\0\1\0", 4)))
        kind = "ICO";
    else if (start.starts_with("\xFF\xD8"))
        kind = "JPEG";
    return kind + ", " + std::to_string(image.size()) + " bytes";
}

int List(const std::string &path) {
    const auto bytes = ReadFile(path);
    if (!bytes) {
        std::fprintf(stderr, "langtool: cannot read %s\n", path.c_str());
        return 1;
    }
    const std::span<const std::uint8_t> file(reinterpret_cast<const std::uint8_t *>(bytes->data()),
                                             bytes->size());
    Header header;
    Verdict verdict = CheckFileHeader(file, file.size(), header);
    std::vector<std::uint8_t> table;
    if (verdict == Verdict::Accepted) {
        table.assign(TableSize(header.textLength), 0);
        verdict = UnpackFile(file, header, table);
    }
    std::printf("file:         %s (%zu bytes)\n", path.c_str(), file.size());
    std::printf("version:      %u\n", header.version);
    std::printf("text length:  %u bytes\n", header.textLength);
    std::printf("verdict:      %s\n", std::string(VerdictText(verdict)).c_str());
    if (verdict != Verdict::Accepted) return 1;
    const FontFace font = TableFont(table);
    std::printf("font:         \"%s\", %u pt, colour 0x%06X, style %u\n", font.name.c_str(), font.pointSize,
                font.colour, font.style);
    std::printf("first image:  %s\n", ImageKind(FirstImage(table)).c_str());
    std::printf("second image: %s\n", ImageKind(SecondImage(table)).c_str());
    std::printf("text:\n");
    std::fwrite(TableText(table).data(), 1, TableText(table).size(), stdout);
    if (!TableText(table).ends_with('\n')) std::putchar('\n');
    return 0;
}

int Template() {
    // Comments go on lines of their own: a blank before a "//" after a text stays part of it.
    std::puts("// Identity values a branded table may replace (remove the leading \"// \" to use them):");
    std::puts("// 000-00000002:Terminal Server\n// 000-00000003:TerminalServer\n// 000-00000004:tsv\n"
              "// 000-00000005:TerminalServerSupport.zip");
    for (const KeyText &key : ClientKeys()) {
        std::string text = key.text;
        // Line breaks of a text are written as escapes.
        std::string escaped;
        for (char c : text) {
            if (c == '\r')
                escaped += "%0D";
            else if (c == '\n')
                escaped += "%0A";
            else
                escaped += c;
        }
        std::printf("// %s\n%s:%s\n", key.what.c_str(), key.key.c_str(), escaped.c_str());
    }
    return 0;
}

int Check(const std::string &path) {
    const auto text = ReadFile(path);
    if (!text) {
        std::fprintf(stderr, "langtool: cannot read %s\n", path.c_str());
        return 1;
    }
    const auto present = KeysOf(*text);
    int problems = 0;
    std::set<std::string> known;
    for (const KeyText &key : ClientKeys()) {
        known.insert(key.key);
        if (!present.contains(key.key)) {
            std::printf("missing: %s (%s)\n", key.key.c_str(), key.what.c_str());
            ++problems;
        }
    }
    for (const auto &[key, count] : present) {
        if (count > 1) {
            std::printf("twice: %s (only the first counts)\n", key.c_str());
            ++problems;
        }
        if (!known.contains(key) && !key.starts_with("000-"))
            std::printf("unknown to the client: %s\n", key.c_str());
    }
    return problems == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    if (command == "make") return Make(argc, argv);
    if (command == "list" && argc == 3) return List(argv[2]);
    if (command == "template" && argc == 2) return Template();
    if (command == "check" && argc == 3) return Check(argv[2]);
    return Usage();
}
