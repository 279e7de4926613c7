// Tavrel::Service::Verb: the actions a run can take on a service, one
// row each in one table. The option parser (its options and bare words), the
// argument driver (who may ask; Tavrel/Cli/Driver.h runs each verb), the usage text, the manual
// page's test and the report that closes a run all read the table, so a verb
// is added or changed in one place.
//
//   const VerbRow& row = row_of(Verb::Stop);
//   row.option;                 // "--stop"
//   row.past_tense;             // "stopped": "The service “crond” was stopped."
//   if (const VerbRow* asked = row_of_word("status")) ...;   // a bare word
//
// Custom actions (bare words a service class offers, Base::custom_action)
// are not verbs: they are the class's own.
#pragma once

#include <string_view>
#include <vector>

namespace Tavrel::Service {

enum class Verb {
    Status,
    Check,
    Stop,
    Reload,
    Restart,
    // Asked for, a start is a restart; a restart that finds the service down
    // is reported as a start.
    Start,
};

struct VerbRow {
    Verb verb;
    // The bare word that stands for the verb's option, and its name in the
    // closing line ("The system failed to <word> the service …").
    std::string_view word;
    // The long option that asks for it; a literal, as getopt_long is handed
    // its text after the dashes.
    std::string_view option;
    // Only root may ask for it: it changes the service.
    bool needs_root;
    // At verbosity 1 the service's status block follows it.
    bool shows_status;
    // A question: it changes nothing, so the run marks and shows none of the
    // service's logs, and its failure is the answer, on standard error.
    bool question;
    // "The service “crond” was <past_tense>." closes a successful run at
    // verbosity 1; none when empty.
    std::string_view past_tense;
};

// Every row, in the order the usage text and the option table list them.
const std::vector<VerbRow>& verbs();
const VerbRow& row_of(Verb verb);
// The row whose bare word `word` is; nullptr for any other word.
const VerbRow* row_of_word(std::string_view word);

}  // namespace Tavrel::Service
