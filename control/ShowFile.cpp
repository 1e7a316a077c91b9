// Show files through nlohmann-json. Its exceptions stay in here: every
// failure leaves as a reason.
#include "control/ShowFile.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>

namespace control {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kVersionKey = "cantabile-show";
constexpr int kVersion = 1;
// Twelve rows of paths fit many times over; anything larger is not a show.
constexpr std::uintmax_t kMaxShowBytes = 1 << 20;

// nlohmann's message without its "[json.exception...] " tag.
std::string Reason(const char* what) {
    const char* end = std::strstr(what, "] ");
    return end != nullptr ? end + 2 : what;
}

std::string Shown(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// The commands that set up one row, checked as every command is: appended
// to *out, or false with the first reason in *why.
bool RowCommands(const Arg& row, const Arg& file, const Arg& level, const Arg& loop,
                 const Arg& start, std::vector<Command>* out, std::string* why) {
    const std::pair<const char*, std::array<Arg, 2>> steps[] = {{"load", {row, file}},
                                                                {"level", {row, level}},
                                                                {"loop", {row, loop}},
                                                                {"position", {row, start}}};
    std::vector<Command> commands;
    for (const auto& [name, args] : steps) {
        const Parsed parsed = BuildCommand(name, args);
        if (!parsed.ok) {
            *why = parsed.error;
            return false;
        }
        if (parsed.command.verb != Verb::Position || parsed.command.seconds != 0) {
            commands.push_back(parsed.command);
        }
    }
    out->insert(out->end(), commands.begin(), commands.end());
    return true;
}

// A JSON value as a command argument; nothing for a list, an object or null.
std::optional<Arg> ToArg(const json& value) {
    if (value.is_boolean()) return Arg::Num(value.get<bool>() ? 1 : 0);
    if (value.is_number()) return Arg::Num(value.get<double>());
    if (value.is_string()) return Arg::Str(value.get_ref<const std::string&>());
    return std::nullopt;
}

// Inside the show's folder: relative to it, so that the folder can move.
std::string StoredPath(const std::string& file, const fs::path& folder) {
    const fs::path absolute = fs::absolute(file).lexically_normal();
    const fs::path relative = absolute.lexically_relative(folder);
    if (!relative.empty() && *relative.begin() != "..") return relative.generic_string();
    return absolute.generic_string();
}

bool ReadShowText(const std::string& path, std::string* text, std::string* error) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) {
        *error = path + ": " + ec.message();
        return false;
    }
    if (size > kMaxShowBytes) {
        *error = path + ": larger than a show file can be";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad() || !in.is_open()) {
        *error = path + ": cannot be read";
        return false;
    }
    return true;
}

// The rows of a parsed show into result; each bad row is a problem.
void ReadRows(const json& rows, const fs::path& folder, ShowLoad* result) {
    std::array<std::vector<Command>, kRows> byChannel;
    for (size_t i = 0; i < rows.size(); ++i) {
        const json& entry = rows[i];
        std::string name = "entry " + std::to_string(i + 1);
        if (!entry.is_object() || !entry.contains("row") || !entry.contains("file")) {
            result->problems.push_back(name + ": needs a \"row\" and a \"file\"");
            continue;
        }
        // Kept here: a string argument points into its value.
        const json levelValue = entry.value("level", json(0));
        const json loopValue = entry.value("loop", json(false));
        const json startValue = entry.value("start", json(0));
        const std::optional<Arg> row = ToArg(entry["row"]);
        const std::optional<Arg> file = ToArg(entry["file"]);
        const std::optional<Arg> level = ToArg(levelValue);
        const std::optional<Arg> loop = ToArg(loopValue);
        const std::optional<Arg> start = ToArg(startValue);
        if (row && row->kind == Arg::Kind::Number) name = "row " + Shown(row->number);
        if (!row || !file || !level || !loop || !start) {
            result->problems.push_back(name + ": a value is a list, an object or null");
            continue;
        }
        std::string resolved;
        Arg where = *file;
        if (file->kind == Arg::Kind::String) {
            const fs::path given(std::string(file->text));
            resolved = (given.is_absolute() ? given : folder / given).lexically_normal().string();
            where = Arg::Str(resolved);
        }
        std::vector<Command> commands;
        std::string why;
        if (!RowCommands(*row, where, *level, *loop, *start, &commands, &why)) {
            result->problems.push_back(name + ": " + why);
            continue;
        }
        std::vector<Command>& slot = byChannel[commands.front().channel];
        struct stat st;
        if (!slot.empty()) {
            result->problems.push_back(name + ": given twice; the first one is kept");
        } else if (stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            result->problems.push_back(name + ": " + resolved + ": no such file");
        } else {
            slot = std::move(commands);
        }
    }
    for (const std::vector<Command>& commands : byChannel) {
        result->commands.insert(result->commands.end(), commands.begin(), commands.end());
    }
}

}  // namespace

bool SaveShow(const std::string& path, const Show& show, std::string* error) {
    try {
        const fs::path target = fs::absolute(path).lexically_normal();
        const fs::path folder = target.parent_path();
        json rows = json::array();
        for (int32_t k = 0; k < kRows; ++k) {
            const ShowRow& row = show.rows[k];
            if (row.file.empty()) continue;
            std::vector<Command> check;
            std::string why;
            if (!RowCommands(Arg::Num(k + 1), Arg::Str(row.file), Arg::Num(row.levelDb),
                             Arg::Num(row.loop ? 1 : 0), Arg::Num(row.startSeconds), &check,
                             &why)) {
                *error = "row " + std::to_string(k + 1) + ": " + why;
                return false;
            }
            rows.push_back({{"row", k + 1},
                            {"file", StoredPath(row.file, folder)},
                            {"level", row.levelDb},
                            {"loop", row.loop},
                            {"start", row.startSeconds}});
        }
        const json doc = {{kVersionKey, kVersion}, {"device", show.device}, {"rows", rows}};
        const std::string text = doc.dump(2) + "\n";
        const std::string temporary = target.string() + ".tmp";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out << text;
            out.close();
            if (!out) {
                std::remove(temporary.c_str());
                *error = path + ": cannot be written";
                return false;
            }
        }
        if (std::rename(temporary.c_str(), target.c_str()) != 0) {
            *error = path + ": " + std::strerror(errno);
            std::remove(temporary.c_str());
            return false;
        }
        return true;
    } catch (const json::type_error& e) {
        *error = "a path or the device name is not UTF-8 text (" + Reason(e.what()) + ")";
    } catch (const std::exception& e) {
        *error = path + ": " + Reason(e.what());
    }
    return false;
}

ShowLoad LoadShow(const std::string& path) {
    ShowLoad result;
    try {
        std::string text;
        if (!ReadShowText(path, &text, &result.error)) return result;
        json doc;
        try {
            doc = json::parse(text);
        } catch (const json::parse_error& e) {
            result.error = path + ": not valid JSON: " + Reason(e.what());
            return result;
        }
        if (!doc.is_object() || !doc.contains(kVersionKey)) {
            result.error = path + ": not a show file (no \"" + kVersionKey + "\")";
            return result;
        }
        if (doc[kVersionKey] != kVersion) {
            result.error = path + ": show file version " + doc[kVersionKey].dump() +
                           " is not one this player reads";
            return result;
        }
        const json rows = doc.value("rows", json::array());
        if (!rows.is_array()) {
            result.error = path + ": \"rows\" is not a list";
            return result;
        }
        const json device = doc.value("device", json(""));
        if (device.is_string()) {
            result.device = device.get<std::string>();
        } else {
            result.problems.push_back("device: not a name");
        }
        ReadRows(rows, fs::absolute(path).lexically_normal().parent_path(), &result);
        result.ok = true;
    } catch (const std::exception& e) {
        result = ShowLoad{};
        result.error = path + ": " + Reason(e.what());
    }
    return result;
}

}  // namespace control
