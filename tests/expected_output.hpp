// What a run must print and write, put together from the figures a test
// derives by hand. The layouts are written out here on their own, so that a
// slip in the program's texts shows up as a difference.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
        out += "\n \xCE\xC1\xD9\xCE \xC2\xD0\xDA\xC7\xCA\xC8 " + number12(r.connections);    // ОБЩО ВРЪЗКИ
        out += "\n      \xCA\xC0\xD7\xC5\xCD\xC8 " + number12(r.uploads) + " BYTES";         // КАЧЕНИ
        out += "\n     \xD1\xC2\xC0\xCB\xC5\xCD\xC8 " + number12(r.downloads) + " BYTES\n";  // СВАЛЕНИ
        connections += r.connections;
    }
    out += "\n+------------------------------------------------";
    out += "\n|\xD1\xEF\xF0\xE0\xE2\xEA\xE0 \xE7\xE0 [" + folder + "]\n";  // Справка за
    out += "\n| \xCE\xC1\xD9\xCE \xD1\xE2\xFA\xF0\xE7\xE2\xE0\xED\xE8\xFF :" + number12(connections) + "\n";
    out += "\n| \xCA\xC0\xD7\xC5\xCD\xC0 \xC8\xCD\xD4\xCE\xD0\xCC\xC0\xD6\xC8\xDF   : " + sizes.uploads + "\n";
    out +=
        "\n| \xC8\xC7\xD2\xC5\xC3\xCB\xC5\xCD\xC0 \xC8\xCD\xD4\xCE\xD0\xCC\xC0\xD6\xC8\xDF: " + sizes.downloads + "\n";
    out += "\n| \xCA\xC0\xD7\xC5\xCD\xC8 + \xC8\xC7\xD2\xC5\xC3\xCB\xC5\xCD\xC8  : " + sizes.both + "\n";
    out += "\n+------------------------------------------------\n";
    return out;
}

inline const total_sizes zero_sizes{"     0.000 bytes", "     0.000 bytes", "     0.000 bytes"};
