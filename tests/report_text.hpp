// Report-like HTML for the tests.
#pragma once

#include <string>
#include <vector>

// One table row per entry, one closed cell opener per cell.
inline std::string table_rows(const std::vector<std::vector<std::string>>& rows) {
    std::string html;
    for (const auto& row : rows) {
        html += "<tr>";
        for (const auto& cell : row) html += "<td>" + cell + "</td>";
        html += "</tr>\r\n";
    }
    return html;
}

// A nine-cell traffic row with the given upload and download figures.
inline std::vector<std::string> traffic_row(const std::string& up, const std::string& down) {
    return {"10.0.0.1", "80", "10.0.0.2", "443", up, down, "tcp", "12:00", "ok"};
}
