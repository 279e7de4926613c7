// The output of the system `ps` (the process table where procfs cannot be
// read), under each option set the callers use.
#include "Check.h"

#include "Tavrel/Process/PsParser/PsCommand.h"

using Tavrel::Process::PsParser::Options;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    static const Options plain{};
    static const Options stats = [] {
        Options o;
        o.memory_stats = o.cpu_stats = o.elapsed_stats = true;
        o.exclude_kernel = true;
        return o;
    }();
    static const Options names = [] {
        Options o;
        o.skip_cmdline = true;
        return o;
    }();
    static const Options bare = [] {
        Options o;
        o.skip_cmdline = o.skip_stat = true;
        return o;
    }();
    for (const Options* o : {&plain, &stats, &names, &bare}) {
        for (const auto& rec : Tavrel::Process::PsParser::PsCommand::parse_output(text, *o)) {
            // A pid from ps is only ever a positive number.
            FUZZ_CHECK(rec.pid > 0);
            FUZZ_CHECK(!rec.user.empty());
            FUZZ_CHECK(o->skip_stat || (rec.command && rec.state && rec.state->size() == 1));
            if (rec.mem)
                FUZZ_CHECK(*rec.mem >= 0);
            if (rec.elapsed)
                FUZZ_CHECK(*rec.elapsed == *rec.elapsed);  // not NaN
        }
    }
    return 0;
}
