// What a run must print and write, put together from the figures a test
// derives by hand. The layouts are written out here on their own, so that a
// slip in the program's texts shows up as a difference.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

// The summary's labels are written here as UTF-8 and encoded by the system's
// own converter (iconv, or Windows' code page 1251), not by the program's.
inline std::string in_1251(const std::string& utf8) {
#if defined(_WIN32)
    const int n = static_cast<int>(utf8.size());
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    wide.resize(
        static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), n, wide.data(), n)));
    std::string out(wide.size(), '\0');
    BOOL lossy = FALSE;
    out.resize(
        static_cast<std::size_t>(WideCharToMultiByte(1251, 0, wide.data(), static_cast<int>(wide.size()), out.data(),
                                                     static_cast<int>(out.size()), nullptr, &lossy)));
    if (lossy || out.size() != wide.size()) throw std::runtime_error("not all of it is in Windows-1251");
#else
    const iconv_t to_1251 = iconv_open("CP1251", "UTF-8");
    if (to_1251 == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no CP1251 in iconv");
    std::string in = utf8, out(utf8.size(), '\0');
    char *in_at = in.data(), *out_at = out.data();
    std::size_t in_left = in.size(), out_left = out.size();
    const std::size_t done = iconv(to_1251, &in_at, &in_left, &out_at, &out_left);
    iconv_close(to_1251);
    if (done == static_cast<std::size_t>(-1) || in_left != 0)
        throw std::runtime_error("not all of it is in Windows-1251");
    out.resize(out.size() - out_left);
#endif
    return out;
}

struct report_figures {
    std::string name;
    std::uint64_t size;
    std::uint64_t connections, uploads, downloads;
    std::string name_in_summary = {};  // Windows-1251, where it differs from name
};

// The three sizes of the totals block, each as "%10.3f unit".
struct total_sizes {
    std::string uploads, downloads, both;
};

inline std::string number12(std::uint64_t n) {
    std::string digits = std::to_string(n);
    return std::string(digits.size() < 12 ? 12 - digits.size() : 0, ' ') + digits;
}

// The console up to the pause, whose prompt differs between systems.
inline std::string expected_console_before_pause(const std::vector<report_figures>& reports, const std::string& folder,
                                                 const total_sizes& sizes) {
    std::string out;
    std::uint64_t connections = 0;
    for (const auto& r : reports) {
        out += "\n" + std::to_string(r.size) + " | " + r.name + " \n";
        out += "\n REPORT FOR [" + r.name + "]";
        out += "\n TOTAL CONNECTIONS " + number12(r.connections) + " ";
        out += "\n TOTAL UPLOADS     " + number12(r.uploads) + " BYTES";
        out += "\n TOTAL DOWNLOADS   " + number12(r.downloads) + " BYTES";
        connections += r.connections;
    }
    out += "\n------------------------------------------------------";
    out += "\n Total for all reports in [" + folder + "]\n";
    out += "\n Total Connections : " + number12(connections) + "\n";
    out += "\n Total Uploads     :" + sizes.uploads + "\n";
    out += "\n Total Downloads   :" + sizes.downloads + "\n";
    out += "\n Up & Down         :" + sizes.both + "\n";
    out += "\n";
    return out;
}

inline std::string expected_console(const std::vector<report_figures>& reports, const std::string& folder,
                                    const total_sizes& sizes) {
    return expected_console_before_pause(reports, folder, sizes) + "Press any key to continue . . . \n";
}

// folder is the path as the summary writes it (Windows-1251).
inline std::string expected_summary(const std::vector<report_figures>& reports, const std::string& folder,
                                    const total_sizes& sizes) {
    std::string out;
    std::uint64_t connections = 0;
    int ordinal = 0;
    for (const auto& r : reports) {
        const std::string& name = r.name_in_summary.empty() ? r.name : r.name_in_summary;
        out += "\n" + std::to_string(++ordinal) + ". Report for [" + name + "]:";
        out += in_1251("\n ОБЩО ВРЪЗКИ ") + number12(r.connections);
        out += in_1251("\n      КАЧЕНИ ") + number12(r.uploads) + " BYTES";
        out += in_1251("\n     СВАЛЕНИ ") + number12(r.downloads) + " BYTES\n";
        connections += r.connections;
    }
    out += "\n+------------------------------------------------";
    out += in_1251("\n|Справка за [") + folder + "]\n";
    out += in_1251("\n| ОБЩО Свързвания :") + number12(connections) + "\n";
    out += in_1251("\n| КАЧЕНА ИНФОРМАЦИЯ   : ") + sizes.uploads + "\n";
    out += in_1251("\n| ИЗТЕГЛЕНА ИНФОРМАЦИЯ: ") + sizes.downloads + "\n";
    out += in_1251("\n| КАЧЕНИ + ИЗТЕГЛЕНИ  : ") + sizes.both + "\n";
    out += "\n+------------------------------------------------\n";
    return out;
}

// A text as Windows writes it in text mode: every line feed after a carriage return.
inline std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

inline const total_sizes zero_sizes{"     0.000 bytes", "     0.000 bytes", "     0.000 bytes"};
