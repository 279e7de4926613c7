// Input/output failures. Every message names what failed and, when the
// metadata holds one, ends with the system's error text.
#include "Tavrel/Foundation/Exception/Catalogue.h"

#include <sys/file.h>

#include <cstdio>

namespace Tavrel::Foundation {

namespace {

using Catalogue = Exception::Catalogue;
using Args = std::vector<LocaleString::Arg>;

// A path when there is one, else the handle's description.
std::string target(const Exception& e) {
    return Catalogue::text(e, {"path", "handle", "file"});
}

std::string lock_operation(const Exception& e) {
    const Exception::Value* v = e.get("operation");
    if (!v || !v->is_number_integer())
        return Catalogue::text(e, {"operation"});
    int op = v->get<int>();
    std::string name = (op & LOCK_UN)   ? "LOCK_UN"
                       : (op & LOCK_EX) ? "LOCK_EX"
                       : (op & LOCK_SH) ? "LOCK_SH"
                                        : std::to_string(op & ~LOCK_NB);
    if (op & LOCK_NB)
        name += "|LOCK_NB";
    return name;
}

std::string whence_name(const Exception& e) {
    const Exception::Value* v = e.get("whence");
    if (!v || !v->is_number_integer())
        return Catalogue::text(e, {"whence"});
    switch (v->get<int>()) {
        case SEEK_SET:
            return "SEEK_SET";
        case SEEK_CUR:
            return "SEEK_CUR";
        case SEEK_END:
            return "SEEK_END";
        default:
            return std::to_string(v->get<int>());
    }
}

std::string permissions_text(const Exception& e, std::string_view key = "permissions") {
    const Exception::Value* v = e.get(key);
    if (!v || !v->is_number_integer())
        return Catalogue::text(e, {key});
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04o", v->get<unsigned>() & 07777u);
    return buffer;
}

LocaleString open_failed(Exception& e) {
    std::string phrase = "The system failed to open the file “[_1]”";
    Args args{target(e)};
    if (e.has("mode")) {
        args.emplace_back(Catalogue::text(e, {"mode"}));
        phrase += " in mode “[_2]”";
    }
    if (Catalogue::flag(e, "immutable"))
        phrase += ", which has the immutable attribute,";
    if (Catalogue::flag(e, "append_only"))
        phrase += ", which has the append-only attribute,";
    return Catalogue::because(e, std::move(phrase), std::move(args));
}

LocaleString write_failed(Exception& e) {
    std::string length = Catalogue::text(e, {"length"});
    std::string path = target(e);
    if (!length.empty() && !path.empty()) {
        return Catalogue::because(e, "The system failed to write [_1] bytes to “[_2]”",
                                  {length, path});
    }
    if (!length.empty())
        return Catalogue::because(e, "The system failed to write [_1] bytes", {length});
    if (!path.empty())
        return Catalogue::because(e, "The system failed to write to “[_1]”", {path});
    return Catalogue::because(e, "The system failed to write data", {});
}

LocaleString truncate_failed(Exception& e) {
    std::string length = Catalogue::text(e, {"length"});
    std::string path = target(e);
    if (!path.empty()) {
        return Catalogue::because(e, "The system failed to truncate “[_1]” to [_2] bytes",
                                  {path, length});
    }
    return Catalogue::because(e, "The system failed to truncate a file to [_1] bytes", {length});
}

// For types whose message is one phrase about one file: `lead` is followed
// by the quoted path, or by the number of a file descriptor given as "handle".
void add_path_type(std::string type, std::string lead, std::string without_path) {
    Catalogue::add(std::move(type), [lead, without_path](Exception& e) {
        if (std::string path = Catalogue::text(e, {"path", "file"}); !path.empty()) {
            return Catalogue::because(e, lead + " “[_1]”", {path});
        }
        if (const Exception::Value* fd = e.get("handle"); fd && fd->is_number_integer()) {
            return Catalogue::because(e, lead + " the file descriptor [_1]", {*fd});
        }
        return Catalogue::because(e, without_path, {});
    });
}

// Why a directory may not hold private files, from its "reason".
LocaleString unsafe_directory(Exception& e) {
    const std::string reason = Catalogue::text(e, {"reason"});
    const std::string path = target(e);
    std::string phrase = "The directory “[_1]” cannot safely hold private files";
    Args args{path};
    if (reason == "symlink") {
        phrase += ": it is a symbolic link";
    } else if (reason == "not_directory") {
        phrase += ": it is not a directory";
    } else if (reason == "owner") {
        phrase += ": it belongs to the user ID [_2], not to root";
        args.emplace_back(Catalogue::text(e, {"owner"}));
    } else if (reason == "writable") {
        phrase += ": other users can write to it (permissions [_2])";
        args.emplace_back(permissions_text(e, "mode"));
    }
    return LocaleString(phrase + ". Remove or correct it.", std::move(args));
}

}  // namespace

void Exception::Catalogue::register_io() {
    add("Io::OpenFailed", open_failed);
    add("Io::CommandOpenFailed", [](Exception& e) {
        return Catalogue::because(e,
                                  "The system failed to open a pipe to or from the command “[_1]”",
                                  {text(e, {"command", "program"})});
    });
    add("Io::WriteFailed", write_failed);
    add_path_type("Io::ReadFailed", "The system failed to read from",
                  "The system failed to read data");
    add("Io::SeekFailed", [](Exception& e) {
        return Catalogue::because(e, "The system failed to seek to position [_2] ([_3]) in “[_1]”",
                                  {target(e), text(e, {"position"}), whence_name(e)});
    });
    add("Io::TruncateFailed", truncate_failed);
    add("Io::RenameFailed", [](Exception& e) {
        return Catalogue::because(
            e, "The system failed to rename “[_1]” to “[_2]”",
            {text(e, {"old_path", "oldpath"}), text(e, {"new_path", "newpath"})});
    });
    add_path_type("Io::StatFailed", "The system failed to check the status of",
                  "The system failed to check the status of a file");
    add_path_type("Io::FcntlFailed", "The system failed to change the settings of",
                  "The system failed to change the settings of a file descriptor");
    add("Io::LockFailed", [](Exception& e) {
        return Catalogue::because(e, "The system failed to lock “[_1]” ([_2])",
                                  {target(e), lock_operation(e)});
    });
    add_path_type("Io::DirectoryReadFailed", "The system failed to read the directory",
                  "The system failed to read a directory");
    add("Io::TempFileFailed", [](Exception& e) {
        return Catalogue::because(
            e,
            "The system failed to create a temporary file for “[_1]” with the "
            "permissions [_2]",
            {target(e), permissions_text(e)});
    });
    add_path_type("Io::NotFound", "The system failed to find the file",
                  "The system failed to find a file");
    // Raised by the checked file operations besides the ones above.
    add_path_type("Io::UnlinkFailed", "The system failed to delete",
                  "The system failed to delete a file");
    add_path_type("Io::ChdirFailed", "The system failed to change the working directory to",
                  "The system failed to change the working directory");
    add("Io::UnsafeDirectory", unsafe_directory);
    add("Io::WaitFailed", [](Exception& e) {
        return Catalogue::because(
            e, "The system failed to wait for a file descriptor to become ready", {});
    });
}

}  // namespace Tavrel::Foundation
