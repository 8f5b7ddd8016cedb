#include "report_scanner.hpp"

void write_size_line(text_stream& console, const report_entry& entry, std::uint64_t size) {
    console.write("\n%llu | %s \n", static_cast<unsigned long long>(size), console.shown(entry.name).c_str());
}

scan_counts scan_report(run_output& out, diagnostics& messages, const report_entry& entry,
                        const report_reading& reading, std::uint64_t ordinal, bool size_line_shown) {
    if (!size_line_shown) write_size_line(out.console, entry, reading.size);
    scan_counts counts{};
    if (reading.outcome == read_outcome::failed) {
        // A report that cannot be read counts as empty, and says so.
        messages.report("cannot read '%s': %s", messages.shown(entry.name).c_str(), reading.reason.c_str());
    } else {
        // One that changed while it was read has the figures of the bytes read.
        if (reading.outcome == read_outcome::changed)
            messages.report("'%s' changed while it was read", messages.shown(entry.name).c_str());
        counts = reading.counts;
    }

    const auto connections = static_cast<unsigned long long>(counts.connections);
    const auto uploads = static_cast<unsigned long long>(counts.uploads);
    const auto downloads = static_cast<unsigned long long>(counts.downloads);
    out.console.write(
        "\n REPORT FOR [%s]"
        "\n TOTAL CONNECTIONS %12llu "
        "\n TOTAL UPLOADS     %12llu BYTES"
        "\n TOTAL DOWNLOADS   %12llu BYTES",
        out.console.shown(entry.name).c_str(), connections, uploads, downloads);

    // Windows-1251: ОБЩО ВРЪЗКИ, КАЧЕНИ, СВАЛЕНИ.
    out.summary.write(
        "\n%llu. Report for [%s]:"
        "\n \xCE\xC1\xD9\xCE \xC2\xD0\xDA\xC7\xCA\xC8 %12llu"
        "\n      \xCA\xC0\xD7\xC5\xCD\xC8 %12llu BYTES"
        "\n     \xD1\xC2\xC0\xCB\xC5\xCD\xC8 %12llu BYTES\n",
        static_cast<unsigned long long>(ordinal), entry.summary_text, connections, uploads, downloads);
    return counts;
}
