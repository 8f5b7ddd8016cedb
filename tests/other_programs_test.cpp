// Other programs at work on the same files while the program runs: a writer
// that saves over a report as it is read, descriptors a caller left open, a
// scanner that refuses the temporary summary. Each run must give figures
// that one version of the files had, or say that it could not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "expected_output.hpp"
#include "fault_shim.hpp"
#include "report_text.hpp"
#include "run_program.hpp"

namespace {

std::string rows_of(std::size_t size, const std::string& up, const std::string& down) {
    const std::string row = table_rows({traffic_row(up, down)});
    std::string html;
    while (html.size() + row.size() <= size) html += row;
    return html;
}

// Saves one version over the other again and again, in place and in pieces
// as an editor's buffered writes do, until it is told to stop. It notes when
// it made no progress for a while (the scheduler passed it over, or the
// system held its writes back): a writer stopped in the middle of its write
// for as long as the program waits before its second reading (a tenth of a
// second) is what no reading can tell from a finished one.
class rewriter {
public:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds long_pause{90};

    rewriter(std::string path, std::string first, std::string second)
        : path_(std::move(path)), versions_{std::move(first), std::move(second)}, thread_([this] { run(); }) {}
    ~rewriter() {
        stop_ = true;
        thread_.join();
    }
    rewriter(const rewriter&) = delete;
    rewriter& operator=(const rewriter&) = delete;

    // Whether it paused for long between `from` and `to`.
    bool paused_within(clock::time_point from, clock::time_point to) {
        const std::lock_guard<std::mutex> hold(lock_);
        for (const auto& [start, end] : pauses_)
            if (start < to && end > from) return true;
        return false;
    }

private:
    void progressed() {
        const clock::time_point now = clock::now();
        if (now - last_progress_ >= long_pause) {
            const std::lock_guard<std::mutex> hold(lock_);
            pauses_.emplace_back(last_progress_, now);
        }
        last_progress_ = now;
    }
    void run() {
        last_progress_ = clock::now();
        for (std::size_t turn = 0; !stop_; ++turn) {
            const std::string& bytes = versions_[turn % 2];
            const int fd = open(path_.c_str(), O_WRONLY);
            if (fd < 0) continue;
            for (std::size_t at = 0; at < bytes.size() && !stop_;) {
                const std::size_t piece = std::min<std::size_t>(bytes.size() - at, 4096);
                const ssize_t put = pwrite(fd, bytes.data() + at, piece, static_cast<off_t>(at));
                if (put <= 0) break;
                at += static_cast<std::size_t>(put);
                progressed();
            }
            close(fd);
        }
    }
    std::string path_;
    std::string versions_[2];
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::pair<clock::time_point, clock::time_point>> pauses_;
    clock::time_point last_progress_;
    std::thread thread_;
};

// The figures a run's console block shows for its one report.
std::string figures_shown(const std::string& console) {
    const std::size_t at = console.find(" TOTAL UPLOADS");
    return at == std::string::npos ? std::string() : console.substr(at, console.find("\n---", at) - at);
}

// A report rewritten with another of the same size, differing only in its
// digits, while runs read it: a report read whole by one read (in a batch,
// and alone), in pieces, and in chunks by several threads. A run may say the
// report changed (exit 1), or give the figures of one version whole; never
// exit 0 with figures mixed from both, unless the writer stood still in the
// middle of its write for longer than the program waits to read again.
// The writer saves through `written_where`, the same folder as the program
// reads unless another way to it is given (a mount's source folder).
void rewritten_while_read(const std::string& where, std::initializer_list<std::size_t> sizes,
                          const std::string& written_where = "") {
    const std::string written_path = (written_where.empty() ? where : written_where) + "/report.htm";
    constexpr int runs = 30;
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string first = rows_of(size, "1000", "3000"), second = rows_of(size, "2000", "4000");
        ASSERT_EQ(first.size(), second.size());
        std::string first_shown, second_shown;
        for (const std::string* version : {&first, &second}) {
            write_file(written_path, *version);
            const run_result still = run_program(where);
            ASSERT_TRUE(still.exited_with(0)) << still.err;
            (version == &first ? first_shown : second_shown) = figures_shown(still.out);
        }
        ASSERT_NE(first_shown, second_shown);
        int silent = 0, said = 0, whole = 0, writer_stood_still = 0;
        {
            rewriter writer(written_path, first, second);
            for (int run = 0; run < runs; ++run) {
                const auto start = rewriter::clock::now();
                const run_result result = run_program(where);
                const std::string shown = figures_shown(result.out);
                if (result.exited_with(1) && result.err == "traffic-totals: 'report.htm' changed while it was read\n") {
                    ++said;
                } else if (result.exited_with(0) && (shown == first_shown || shown == second_shown)) {
                    ++whole;
                } else if (writer.paused_within(start, rewriter::clock::now())) {
                    ++writer_stood_still;
                } else {
                    ++silent;
                    ADD_FAILURE() << "status " << result.wait_status << ", " << result.err << shown;
                }
            }
        }
        std::printf(
            "report of %zu bytes, %d runs: %d said it changed, %d whole, %d mixed while the writer stood still, "
            "%d otherwise\n",
            size, runs, said, whole, writer_stood_still, silent);
        std::remove((where + "/izhod_report.htm_etc.txt").c_str());
    }
}

TEST(OtherPrograms, AReportRewrittenWhileItIsReadIsNeverSilentlyMixed) {
    const scratch_folder folder;
    rewritten_while_read(folder.path(), {6500, 212000, 650000, 9900000});
}

// A file system that stamps whole seconds (ext4 with 128-byte inodes) cannot
// tell a rewrite within the same second by the report's times at all.
TEST(OtherPrograms, AReportRewrittenOnAFileSystemOfWholeSecondsIsNeverSilentlyMixed) {
    const scratch_folder folder;
    const std::string image = folder.beside("whole-seconds.img").string();
    const std::string mount_point = folder.path() + "/mounted";
    std::filesystem::create_directory(mount_point);
    const std::string make = "truncate -s 64M '" + image + "' && mkfs.ext4 -q -F -I 128 '" + image +
                             "' 2>/dev/null && mount -o loop '" + image + "' '" + mount_point + "' 2>/dev/null";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "no loop device to mount a file system on (needs root)";
    struct unmount {
        std::string point;
        ~unmount() { std::system(("umount '" + point + "'").c_str()); }
    } mounted{mount_point};
    write_file(mount_point + "/stamp.htm", "");
    struct stat stamp {};
    ASSERT_EQ(stat((mount_point + "/stamp.htm").c_str(), &stamp), 0);
    std::remove((mount_point + "/stamp.htm").c_str());
    ASSERT_EQ(stamp.st_ctim.tv_nsec, 0) << "this file system keeps finer times";
    // Each run there waits out the second of the last stamp: a report read in
    // a batch, and one read in chunks, stand for the rest.
    rewritten_while_read(mount_point, {6500, 9900000});
}

// A file system in user space (bindfs over a folder of this machine, as
// sshfs is over another's): the writer saves through the folder beneath
// while the program reads through the mount, whose caches stand between.
TEST(OtherPrograms, AReportRewrittenBeneathAFileSystemInUserSpaceIsNeverSilentlyMixed) {
    const scratch_folder folder;
    const std::string beneath = folder.path() + "/beneath", mount_point = folder.path() + "/mounted";
    std::filesystem::create_directory(beneath);
    std::filesystem::create_directory(mount_point);
    const std::string mount = "bindfs --no-allow-other '" + beneath + "' '" + mount_point + "' 2>/dev/null";
    if (std::system("command -v bindfs >/dev/null && command -v fusermount3 >/dev/null") != 0 ||
        std::system(mount.c_str()) != 0)
        GTEST_SKIP() << "no bindfs, or no FUSE to mount it with";
    struct unmount {
        std::string point;
        ~unmount() { std::system(("fusermount3 -u '" + point + "'").c_str()); }
    } mounted{mount_point};
    rewritten_while_read(mount_point, {6500, 212000, 9900000}, beneath);
}

// What the fault library says `statfs` answers, and what kind of file system
// that is: a local disk's, or one whose details and bytes may come from a
// cache (a share, FUSE).
struct file_system_kind {
    const char* name;
    const char* type;
    bool behind_a_cache;
};
constexpr file_system_kind file_system_kinds[] = {
    {"ext4", "EF53", false},      {"xfs", "58465342", false}, {"btrfs", "9123683E", false},
    {"tmpfs", "01021994", false}, {"fuse", "65735546", true}, {"fuseblk", "65735546", true},
    {"nfs", "6969", true},        {"cifs", "FF534D42", true}, {"smb2", "FE534D42", true},
};

// Reports for each way a report is read: in a batch, alone in pieces, in chunks.
std::vector<std::string> write_one_of_each_reading(const scratch_folder& folder) {
    const std::vector<std::pair<std::string, std::size_t>> reports{
        {"batch.htm", 6500}, {"pieces.htm", 650000}, {"chunks.htm", 9900000}};
    std::vector<std::string> names;
    for (const auto& [name, size] : reports) {
        folder.write(name, rows_of(size, "1000", "3000"));
        names.push_back(name);
    }
    return names;
}

std::size_t lines_saying(const std::string& text, const std::string& line) {
    std::size_t count = 0;
    for (std::size_t at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1))
        if (at == 0 || text[at - 1] == '\n') ++count;
    return count;
}

// On a file system behind a cache, each report is looked at by asking the
// file system itself, at its open and after its readings, and read twice,
// each reading from bytes fetched afresh; on a local one, neither. The
// outputs are the same either way.
TEST(OtherPrograms, ReportsBehindACacheAreLookedAtAfreshAndReadTwice) {
    SKIP_WITHOUT_FAULT_SHIM();
    const scratch_folder folder;
    const std::size_t reports = write_one_of_each_reading(folder).size();
    const run_result plain = run_program(folder.path());
    ASSERT_TRUE(plain.exited_with(0)) << plain.err;
    for (const file_system_kind& kind : file_system_kinds) {
        SCOPED_TRACE(kind.name);
        const std::string calls = folder.beside(std::string("calls-") + kind.name).string();
        write_file(calls, "");
        const run_result run =
            run_program(folder.path(), {.environment = with_fault_shim({std::string("TT_FILE_SYSTEM_TYPE=") + kind.type,
                                                                        "TT_CALLS_TO=" + calls})});
        EXPECT_TRUE(run.exited_with(0)) << run.err;
        EXPECT_EQ(run.out, plain.out);
        const std::string noted = read_file(calls);
        EXPECT_EQ(lines_saying(noted, "forced look"), kind.behind_a_cache ? 2 * reports : 0);
        EXPECT_EQ(lines_saying(noted, "dropped"), kind.behind_a_cache ? 2 * reports : 0);
    }
}

// A share's client that answers every look from a cache of its own (sshfs
// does, for 20 seconds): only the second reading can tell that a report was
// rewritten, with its size, between the two.
TEST(OtherPrograms, AReportRewrittenBehindAStaleCacheIsSaidToHaveChanged) {
    SKIP_WITHOUT_FAULT_SHIM();
    for (std::size_t k = 0; k < 3; ++k) {
        const scratch_folder folder;
        const std::string name = write_one_of_each_reading(folder)[k];
        SCOPED_TRACE(name);
        const run_result run = run_program(
            folder.path(), {.environment = with_fault_shim({"TT_FILE_SYSTEM_TYPE=65735546", "TT_STALE_DETAILS=1",
                                                            "TT_REWRITE_BETWEEN_READINGS=" + name})});
        EXPECT_TRUE(run.exited_with(1)) << run.wait_status;
        EXPECT_EQ(run.err, "traffic-totals: '" + name + "' changed while it was read\n");
    }
}

// Fewer descriptors than the run would like: a hard limit just above what is
// open at the start, descriptors the caller left open, or both. Every report
// is read, exactly as with no limit.
TEST(OtherPrograms, LimitsOnDescriptorsRefuseNoReportThatOneDescriptorCouldRead) {
#if TRAFFIC_TOTALS_EMULATED
    GTEST_SKIP() << "under qemu-user the script that starts the emulator, and the emulator, hold descriptors of "
                    "their own within the limit; the native suites run this";
#endif
    const std::string row = table_rows({traffic_row("512", "1536")});
    const struct {
        const char* what;
        int reports;
        long long limit;
        int inherited;
    } cases[] = {
        {"two reports, one descriptor free", 2, 5, 0},
        {"two reports, none to spare for a ring", 2, 6, 0},
        {"206 reports, 60 left open by the caller, limit 70", 206, 70, 60},
        {"206 reports, 60 left open by the caller, limit 66", 206, 66, 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
#if TRAFFIC_TOTALS_SANITIZED
        // A sanitizer's runtime needs descriptors of its own (a pipe, to learn
        // whether memory it reports on can be read): with one descriptor free
        // it has none, and reports what it could not check.
        if (c.limit - c.inherited <= 5) continue;
#endif
        scratch_folder folder;
        std::vector<report_figures> reports;
        char name[32];
        for (int i = 0; i < c.reports; ++i) {
            std::snprintf(name, sizeof name, "r%03d.htm", i);
            folder.write(name, row);
            reports.push_back({name, row.size(), 1, 512, 1536});
        }
        const run_result free_run = run_program(folder.path());
        ASSERT_TRUE(free_run.exited_with(0)) << free_run.err;
        const std::string summary = folder.read("izhod_r000.htm_etc.txt");
        const run_result run = run_program(
            folder.path(), {.open_files_limit = c.limit, .hard_limit_too = true, .inherited_descriptors = c.inherited});
        EXPECT_TRUE(run.exited_with(0)) << run.wait_status;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, free_run.out);
        EXPECT_EQ(folder.read("izhod_r000.htm_etc.txt"), summary);
    }
}

// Opens that find no descriptor free (as when another thread or a library
// holds them for a moment) are made again once the batch's files are closed,
// one report at a time.
TEST(OtherPrograms, ReportsThatFindNoDescriptorFreeAreOpenedAgainAlone) {
    SKIP_WITHOUT_FAULT_SHIM();
    scratch_folder folder;
    char name[32];
    for (int i = 0; i < 80; ++i) {
        std::snprintf(name, sizeof name, "r%03d.htm", i);
        folder.write(name, table_rows({traffic_row(std::to_string(i), std::to_string(7 * i))}));
    }
    const run_result free_run = run_program(folder.path());
    ASSERT_TRUE(free_run.exited_with(0)) << free_run.err;
    // The opens one by one, where the fault library sees them.
    for (const char* refused : {"TT_FAIL_OPENS_FOR_FILES=5", "TT_FAIL_OPENS_FOR_FILES=40"}) {
        SCOPED_TRACE(refused);
        const run_result run =
            run_program(folder.path(), {.environment = with_fault_shim({refused, "TT_REFUSE_IO_URING=1"})});
        EXPECT_TRUE(run.exited_with(0)) << run.wait_status;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, free_run.out);
    }
}

// An on-access scanner that denies the temporary summary's open once the
// system has made the file: the run says so, the earlier summary stays, and
// the empty file the system made does not.
TEST(OtherPrograms, ATemporarySummaryRefusedAfterItWasMadeLeavesNothing) {
    SKIP_WITHOUT_FAULT_SHIM();
    scratch_folder folder;
    const std::string row = table_rows({traffic_row("512", "1536")});
    folder.write("r.htm", row);
    folder.write("izhod_r.htm_etc.txt", "the earlier summary");
    const run_result run = run_program(folder.path(), {.environment = with_fault_shim({"TT_REFUSE_SUMMARY_MADE=1"})});
    EXPECT_TRUE(run.exited_with(1)) << run.wait_status;
    EXPECT_EQ(run.err, "traffic-totals: cannot write 'izhod_r.htm_etc.txt': Operation not permitted\n");
    EXPECT_EQ(folder.contents(), (files{{"r.htm", row}, {"izhod_r.htm_etc.txt", "the earlier summary"}}));
}

// A large report whose reads fail: the thread that meets the failure stops
// the others, so that a few of its chunks are tried, not all of them.
TEST(OtherPrograms, AFailedChunkEndsTheOtherThreadsReading) {
    SKIP_WITHOUT_FAULT_SHIM();
    scratch_folder folder;
    constexpr std::uint64_t size = 64 << 20;  // 256 chunks
    write_file(folder.path() + "/big.htm", table_rows({traffic_row("512", "1536")}));
    ASSERT_EQ(truncate((folder.path() + "/big.htm").c_str(), static_cast<off_t>(size)), 0);
    const std::string count_file = folder.beside("failed-reads").string();
    const run_result run =
        run_program(folder.path(),
                    {.environment = with_fault_shim({"TT_FAIL_READS_OF=big.htm", "TT_FAILED_READS_TO=" + count_file})});
    EXPECT_TRUE(run.exited_with(1)) << run.wait_status;
    EXPECT_EQ(run.err, "traffic-totals: cannot read 'big.htm': Input/output error\n");
    const int failed_reads = std::stoi(read_file(count_file));
    EXPECT_GE(failed_reads, 1);
    EXPECT_LE(failed_reads, 8) << "chunks tried after the first failure";
}

}  // namespace
