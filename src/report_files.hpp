// The pool's reader of report files: a claimed batch read side by side where
// the system allows it, a report too large for that read alone, and a large
// one read in chunks by several threads when others can help.
#pragma once

#include "reading_pool.hpp"

class report_files final : public claim_reader {
public:
    void read(const claimed_reports& claimed, content_buffer& buffer) override;
};
