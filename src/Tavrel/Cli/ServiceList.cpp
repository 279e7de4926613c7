#include "Tavrel/Cli/ServiceList.h"

#include "Tavrel/Config/JSON.h"
#include "Tavrel/Output/Columns.h"

#include "Tavrel/Catalogue/Definition.h"
#include "Tavrel/Catalogue/Factory.h"
#include "Tavrel/Catalogue/Registry.h"
#include "Tavrel/Catalogue/Daemons/Table.h"
#include "Tavrel/Cli/ResultRecord.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Foundation/Validate/Service.h"
#include "Tavrel/Init/Questions.h"
#include "Tavrel/Output/Formatted/HTML.h"
#include "Tavrel/Process/PsParser.h"
#include "Tavrel/Server/Installed.h"
#include "Tavrel/Server/Monitor/Config.h"
#include "Tavrel/Service/Base.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cctype>
#include <filesystem>
#include <map>

namespace Tavrel::Cli::ServiceList {

namespace {

namespace fs = std::filesystem;

// The names in a directory; none when it is missing or cannot be read.
std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    return names;
}

// The service word a definition's file stands for: its module word with the
// first letter in lower case, which the factory maps back to the same file.
std::optional<std::string> word_of_definition(const std::string& file_name) {
    const std::string& suffix = Catalogue::Definition::SUFFIX;
    if (file_name.size() <= suffix.size() || !file_name.ends_with(suffix))
        return std::nullopt;
    std::string module = file_name.substr(0, file_name.size() - suffix.size());
    if (!Catalogue::is_module_word(module))
        return std::nullopt;
    module[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(module[0])));
    return module;
}

std::string yes_no(const std::optional<bool>& answer) {
    return !answer ? "?" : *answer ? "yes" : "no";
}

// Of a service whose software is not installed, whether it is enabled or
// runs does not apply: "-", and in its record null. A daemon still seen
// running (its package removed under it) is shown running all the same.
bool does_not_apply(const Row& row) { return row.installed == false; }

std::optional<bool> shown_enabled(const Row& row) {
    return does_not_apply(row) ? std::nullopt : row.enabled;
}

std::optional<bool> shown_running(const Row& row) {
    return does_not_apply(row) && row.running != true ? std::nullopt : row.running;
}

std::string cell(const Row& row, const std::optional<bool>& answer) {
    return !answer && does_not_apply(row) ? "-" : yes_no(answer);
}

// The header and one line of cells per row, as the table and the HTML table show them.
std::vector<std::vector<std::string>> cells(const std::vector<Row>& rows) {
    std::vector<std::vector<std::string>> lines = {{"SERVICE", "INSTALLED", "ENABLED", "RUNNING", "PID"}};
    for (const Row& row : rows) {
        lines.push_back({row.service, yes_no(row.installed), cell(row, shown_enabled(row)),
                         cell(row, shown_running(row)),
                         row.main_pid ? std::to_string(*row.main_pid) : "-"});
    }
    return lines;
}

void note_problem(Row& row, const std::string& what, const std::string& reason) {
    row.problem += (row.problem.empty() ? "" : " ") + what + ": " + reason;
}

}  // namespace

bool is_installed(Service::Base& srv) {
    const std::string binary = srv.service_binary();
    const bool runnable = binary.empty() || ::access(binary.c_str(), X_OK) == 0;
    if (srv.described_by_definition())
        return runnable;
    // Every word of one daemon gets the answer of the word that speaks for it.
    const std::string word = Catalogue::Daemons::Table::daemon_word(srv.service());
    if (Server::Installed::service_is_known(word))
        return Server::Installed::service_is_installed(word) && runnable;
    // No rule of the registry speaks for this word (the name server, the FTP
    // server under its own name): its "no" would only mean that it does not
    // know, while the daemon's program is there and runs. The program
    // decides.
    return !binary.empty() && runnable;
}

std::vector<std::string> known_words() {
    // Keyed by module word: the factory finds one service by every spelling
    // of it, so "exim-altport" of the monitor and Exim_altport.json of an
    // administrator are one line. The first spelling found is kept.
    std::map<std::string, std::string> by_module;
    auto add = [&](const std::string& word) {
        if (Foundation::Validate::Service::is_valid(word))
            by_module.emplace(Catalogue::module_word(word), word);
    };
    for (const std::string& word : Catalogue::Registry::service_words())
        add(word);
    for (const std::string& name : names_in(Server::Monitor::Config::svcwatch_dir()))
        add(name);
    for (const std::string& name : names_in(Catalogue::Definition::DIR)) {
        if (auto word = word_of_definition(name))
            add(*word);
    }
    std::vector<std::string> words;
    for (auto& [module, word] : by_module)
        words.push_back(word);
    std::sort(words.begin(), words.end());
    return words;
}

namespace {

// The service object of a word, or the row that says why there is none.
std::unique_ptr<Service::Base> object_for(Row& row, const Init::RunOptions& run, int verbose) {
    try {
        auto srv = Catalogue::create({{"service", row.service}}, run);
        srv->set_verbose(verbose);
        return srv;
    } catch (const Foundation::Exception& e) {
        note_problem(row, "it cannot be looked at", e.to_string_no_id());
    } catch (const std::exception& e) {
        note_problem(row, "it cannot be looked at", e.what());
    }
    return nullptr;
}

void look_at(Row& row, Service::Base& srv) {
    try {
        row.installed = is_installed(srv);
        if (*row.installed)
            row.enabled = srv.is_enabled();
    } catch (const std::exception& e) {
        note_problem(row, "installed or enabled", e.what());
    }
    // Asked of every service, installed or not: a daemon whose package was
    // removed under it may still run.
    try {
        if (!srv.can_check_service_status()) {
            note_problem(row, "running", "its status cannot be checked");
        } else {
            const std::string status = srv.get_status_string();
            row.running = !status.empty();
            const std::vector<pid_t> pids = ResultRecord::pids_in_status(status);
            if (!pids.empty())
                row.main_pid = pids.front();
        }
    } catch (const std::exception& e) {
        note_problem(row, "running", e.what());
    }
}

// The name each service's backend asks the init system about.
std::vector<std::string> names_of(const std::vector<std::unique_ptr<Service::Base>>& objects) {
    std::vector<std::string> names;
    for (const auto& srv : objects) {
        try {
            if (srv)
                names.push_back(srv->service_name());
        } catch (const std::exception&) {
            // Its look says why, when it comes to it.
        }
    }
    return names;
}

}  // namespace

Row look_at(const std::string& word, const Init::RunOptions& run, int verbose) {
    Row row{.service = word};
    if (auto srv = object_for(row, run, verbose))
        look_at(row, *srv);
    return row;
}

std::string table(const std::vector<Row>& rows) { return Output::Columns::aligned(cells(rows)); }

std::string html_table(const std::vector<Row>& rows) {
    using HTML = Output::Formatted::HTML;
    const auto lines = cells(rows);
    std::string html = "<table class=\"services\">\n";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string tag = i == 0 ? "th" : "td";
        html += "<tr>";
        for (const std::string& text : lines[i])
            html += "<" + tag + ">" + HTML::escape(text) + "</" + tag + ">";
        html += "</tr>\n";
    }
    return html + "</table>\n";
}

nlohmann::ordered_json record(const Row& row) {
    return {
        {"service", row.service},
        {"installed", Config::JSON::or_null(row.installed)},
        {"enabled", Config::JSON::or_null(shown_enabled(row))},
        {"running", Config::JSON::or_null(shown_running(row))},
        {"main_pid", row.main_pid ? nlohmann::ordered_json(static_cast<long>(*row.main_pid))
                                  : nlohmann::ordered_json()},
        {"problem", row.problem.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(row.problem)},
    };
}

namespace {

// Every known service looked at once; `each` sees each row as it is done.
std::vector<Row> look_at_all(const Init::RunOptions& run, int verbose, const std::function<void(const Row&)>& each) {
    Init::RunOptions look = run;
    look.look_only = true;
    std::vector<Row> rows;
    std::vector<std::unique_ptr<Service::Base>> objects;
    for (const std::string& word : known_words()) {
        rows.push_back(Row{.service = word});
        objects.push_back(object_for(rows.back(), look, verbose));
    }
    // Thirty-odd units (hundreds on a server with many definitions): one
    // systemctl run answers what each look would ask of its own unit, and one
    // reading of the process table each search for a program by its name.
    const Init::LookAtOnce once(names_of(objects));
    const Process::PsParser::Census census;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Row& row = rows[i];
        if (objects[i])
            look_at(row, *objects[i]);
        if (!row.problem.empty())
            Foundation::Logger::create()->warn("The service “" + row.service + "”: " + row.problem);
        if (each)
            each(row);
    }
    return rows;
}

// A label value as the text format wants it: backslash, quote and newline escaped.
std::string label_value(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

struct Gauge {
    const char* name;
    const char* help;
    std::function<std::optional<long>(const Row&)> value;
};

std::optional<long> as_number(const std::optional<bool>& answer) {
    return answer ? std::optional<long>(*answer ? 1 : 0) : std::nullopt;
}

}  // namespace

std::string metrics(const std::vector<Row>& rows) {
    const std::vector<Gauge> gauges = {
        {"zidavoveva_service_installed", "Whether the service's software is installed (1) or not (0).",
         [](const Row& r) { return as_number(r.installed); }},
        {"zidavoveva_service_enabled", "Whether the service is enabled (1) or disabled (0).",
         [](const Row& r) { return as_number(shown_enabled(r)); }},
        {"zidavoveva_service_running", "Whether the service is running (1) or not (0).",
         [](const Row& r) { return as_number(shown_running(r)); }},
        {"zidavoveva_service_main_pid", "The process id of the service's main process.",
         [](const Row& r) { return r.main_pid ? std::optional<long>(*r.main_pid) : std::nullopt; }},
    };
    std::string text;
    for (const Gauge& gauge : gauges) {
        text += std::string("# HELP ") + gauge.name + " " + gauge.help + "\n";
        text += std::string("# TYPE ") + gauge.name + " gauge\n";
        for (const Row& row : rows) {
            if (const auto value = gauge.value(row))
                text += std::string(gauge.name) + "{service=\"" + label_value(row.service) + "\"} " +
                        std::to_string(*value) + "\n";
        }
    }
    return text;
}

int show(Output::Base& out, bool records, const Init::RunOptions& run, int verbose) {
    const std::vector<Row> rows = look_at_all(run, verbose, [&](const Row& row) {
        if (records)
            out.message(RECORD_TYPE, Output::Contents(record(row)));
    });
    if (records)
        return 0;
    // A web page gets a table it can style, not lines of aligned text.
    if (dynamic_cast<Output::Formatted::HTML*>(&out)) {
        out.filehandle()->write(html_table(rows));
        return 0;
    }
    std::string text = table(rows);
    text.pop_back();  // the output object ends the message's line
    out.out(text);
    return 0;
}

int show_metrics(Output::Base& out, const Init::RunOptions& run, int verbose) {
    out.filehandle()->write(metrics(look_at_all(run, verbose, nullptr)));
    return 0;
}

}  // namespace Tavrel::Cli::ServiceList
