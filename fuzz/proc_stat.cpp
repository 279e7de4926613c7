// /proc/<pid>/stat and /proc/<pid>/statm lines, as the process table and the
// pid handles read them.
#include "Check.h"

#include "Tavrel/Process/PsParser/Parse.h"

namespace Parse = Tavrel::Process::PsParser::Parse;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    if (auto st = Parse::stat(text)) {
        FUZZ_CHECK(!st->fields.empty());
        FUZZ_CHECK(st->name.size() <= text.size());
        for (const auto& f : st->fields)
            FUZZ_CHECK(!f.empty());
        // Every accessor, as the table and the pid handle use them.
        (void)st->state();
        (void)st->ppid();
        (void)st->pgrp();
        (void)st->nice();
        (void)st->starttime();
        (void)st->cpu_ticks();
        for (size_t i = 0; i < st->fields.size() + 2; ++i)
            (void)st->number(i);
        // The state letter alone agrees with the full parse.
        auto state = Parse::stat_state(text);
        FUZZ_CHECK(state && *state == st->state());
    }
    (void)Parse::statm_resident(text);
    return 0;
}
