// Tavrel::Foundation::Exception::Catalogue: the built-in exception types and the message
// each builds from its metadata. Registration is one explicit call, made by
// the registry on its first use (never at start-up, and never through static
// initialisers, which a static library would drop).
//
// Metadata keys, by group (optional ones in brackets):
//   Io::*               path (or a descriptor number as handle), error, [mode],
//                       [immutable], [append_only], command, length, whence,
//                       position, old_path, new_path, operation, permissions
//   Io::UnsafeDirectory path, reason: symlink|not_directory|owner|writable,
//                       [owner], [mode]
//   Child::*            program, signal | exit_code | timeout
//   Fork::Failed        error
//   Param::*            name, [value]
//   Module::*           module, error | name
//   Name::Invalid       name, [reason: empty|reserved|too_long|forbidden_character], [limit]
//   System::CallFailed  name, error
//   Timeout             [timeout]
//   Proc::Ended         pid
//   ProcessCheck::*     pid, pattern, cmdline, expected_uid, actual_uid
//   Services::*         service (or service_name), [reason], [package], [binary],
//                       [error], [hint]
#pragma once

#include "Tavrel/Foundation/Exception.h"

#include <string>
#include <string_view>

namespace Tavrel::Foundation {

struct Exception::Catalogue {
    static void register_all();

    static void register_io();
    static void register_child();  // Child::*, Fork::Failed
    static void
    register_general();  // Param::*, Module::*, Name::Invalid, System::CallFailed, Timeout
    static void register_process();  // Proc::Ended, ProcessCheck::*
    static void register_services();

    // Helpers for message builders.
    static void add(std::string type_path, std::function<LocaleString(Exception&)> build,
                    ServiceFailure service_failure = ServiceFailure::None);
    // The first of `keys` present, as text ("" when none is).
    static std::string text(const Exception& e, std::initializer_list<std::string_view> keys);
    static bool flag(const Exception& e, std::string_view key);
    // Whether "error" holds something to report.
    static bool has_error(const Exception& e);
    // "<phrase> because of an error: <error text>", or "<phrase>." when the
    // metadata holds no error. The error text becomes the last argument.
    static LocaleString because(const Exception& e, std::string phrase,
                                std::vector<LocaleString::Arg> args);
};

}  // namespace Tavrel::Foundation
