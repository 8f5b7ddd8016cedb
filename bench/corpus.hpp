// Report-like HTML for the benchmarks: dense rows of nine cells with byte
// counts of up to ten digits in the fifth and sixth, CR LF line ends, a header
// row, and now and then a row of eight or ten cells and cells with
// attributes, as real reports have.
#pragma once

#include <cstdint>
#include <random>
#include <string>

class report_generator {
public:
    explicit report_generator(std::uint64_t seed) : random_(seed) {}

    std::string header() const {
        return "<html>\r\n<head><title>Traffic</title></head>\r\n<body>\r\n<table border=\"1\">\r\n"
               "<tr><th>#</th><th>Local</th><th>Remote</th><th>Start</th><th>Uploaded</th>"
               "<th>Downloaded</th><th>Protocol</th><th>Duration</th><th>State</th></tr>\r\n";
    }
    std::string footer() const { return "</table>\r\n</body>\r\n</html>\r\n"; }

    // Appends one row to out.
    void row(std::string& out) {
        ++rows_;
        const unsigned shape = static_cast<unsigned>(random_() % 100);
        const int cells = shape == 0 ? 8 : shape == 1 ? 10 : 9;
        out += "<tr>";
        for (int cell = 1; cell <= cells; ++cell) {
            out += (shape == 2 && cell == 3) ? "<td class=\"addr\">" : "<td>";
            switch (cell) {
                case 1:
                    out += std::to_string(rows_);
                    break;
                case 2:
                    out += "192.168.1." + std::to_string(random_() % 250);
                    break;
                case 3:
                    out += "10.0." + std::to_string(random_() % 250) + "." + std::to_string(random_() % 250);
                    break;
                case 4:
                    out += "12:" + std::to_string(10 + random_() % 50);
                    break;
                case 5:
                    out += std::to_string(random_() % 4000000000u);
                    break;
                case 6:
                    out += std::to_string(random_() % 10000000000u);
                    break;
                case 7:
                    out += "TCP";
                    break;
                case 8:
                    out += std::to_string(random_() % 900) + "s";
                    break;
                default:
                    out += "closed";
                    break;
            }
            out += "</td>";
        }
        out += "</tr>\r\n";
    }

    // A whole report of about `bytes` bytes.
    std::string report(std::size_t bytes) {
        std::string out = header();
        while (out.size() + 200 < bytes) row(out);
        out += footer();
        return out;
    }

private:
    std::mt19937_64 random_;
    std::uint64_t rows_ = 0;
};
