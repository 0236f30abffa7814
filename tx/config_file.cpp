#include "tx/config_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <tuple>
#include <utility>

#ifdef TERRAMOD_HAVE_TOML
#include <toml++/toml.h>
#endif

#include "tx/config.h"

namespace terramod {

namespace {

// A configuration file is a few dozen lines: anything this long is not one.
constexpr size_t kMaxFileBytes = size_t{1} << 20;

[[maybe_unused]] std::string no_support(const std::string& name) {
    return std::string(kConfigOption) + " " + name +
           ": this build has no configuration file support (built without "
           "libtomlplusplus-dev)";
}

#ifdef TERRAMOD_HAVE_TOML

// "site.toml:12: "
std::string place(const std::string& name, const toml::source_region& region) {
    return name + ":" + std::to_string(region.begin.line) + ": ";
}

// A string, an integer or a floating-point value as the command line would
// give it; nothing for another type.
std::optional<std::string> value_text(const toml::node& node) {
    if (const toml::value<std::string>* text = node.as_string()) return text->get();
    if (const toml::value<int64_t>* integer = node.as_integer())
        return std::to_string(integer->get());
    if (const toml::value<double>* floating = node.as_floating_point()) {
        // A whole number in digits (474e6: "474000000"), another in the
        // shortest text that reads back as the same number.
        const double number = floating->get();
        if (std::fabs(number) < 1e15 && number == std::floor(number))
            return std::to_string(static_cast<int64_t>(number));
        char buffer[64];
        const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
        if (error != std::errc()) return std::nullopt;
        return std::string(buffer, end);
    }
    return std::nullopt;
}

// A value in a message: strings quoted, as the file writes them.
std::string shown(const toml::node& node, const std::string& text) {
    return node.is_string() ? "\"" + text + "\"" : text;
}

const LongOptionSummary* option_of_key(const std::vector<LongOptionSummary>& options,
                                       std::string_view key) {
    for (const LongOptionSummary& option : options)
        if (option.name.substr(2) == key) return &option;
    return nullptr;
}

// The error of a key no option has, with the option probably meant.
std::string unknown_key(const std::string& key) {
    std::string message = "unknown key \"" + key + "\"";
    // A key written with its dashes ("--gain") is looked up without them.
    const std::string bare = key.substr(std::min(key.find_first_not_of('-'), key.size()));
    const std::optional<std::string> meant = closest_long_option_name("--" + bare);
    if (meant && *meant != kConfigOption) message += " (did you mean " + meant->substr(2) + "?)";
    return message;
}

// The option's text for the value of `key`, or the error of a value of a
// type the option does not take. A flag false has no text and is not taken.
struct KeyValue {
    bool take = true;
    std::optional<std::string> text;  // none for a flag
    std::string error;
};
KeyValue key_value(const LongOptionSummary& option, const std::string& key,
                   const toml::node& node) {
    KeyValue value;
    if (node.is_array()) {
        value.error = "\"" + key + "\" is an array: a key takes one value";
    } else if (!option.value_name) {
        if (const toml::value<bool>* flag = node.as_boolean())
            value.take = flag->get();
        else
            value.error = "\"" + key + "\" is a flag: true or false expected";
    } else {
        value.text = value_text(node);
        if (!value.text) {
            value.error = "\"" + key + "\" takes a string or a number (" + option.value_name +
                          "), not " + (node.is_boolean() ? "true or false" : "a date or time");
        } else if (value.text->find('\0') != std::string::npos) {
            // No argument of a command line holds one.
            value.error = "\"" + key + "\" holds a NUL character (\\u0000)";
        }
    }
    return value;
}

// A syntax error where toml++ found it: "site.toml:3:9: ...".
std::string syntax_error(const std::string& name, const toml::parse_error& error) {
    const toml::source_position& at = error.source().begin;
    return name + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) +
           ": not valid TOML: " + std::string(error.description());
}

#endif  // TERRAMOD_HAVE_TOML

}  // namespace

std::vector<std::string> take_config_text(TxConfig& config, std::string_view text,
                                          const std::string& name) {
#ifndef TERRAMOD_HAVE_TOML
    (void)config;
    (void)text;
    return {no_support(name)};
#else
#if TOML_EXCEPTIONS
    toml::table table;
    try {
        table = toml::parse(text, name);
    } catch (const toml::parse_error& error) {
        return {syntax_error(name, error)};
    }
#else
    toml::parse_result result = toml::parse(text, name);
    if (!result) return {syntax_error(name, result.error())};
    toml::table& table = result.table();
#endif
    // The table holds its keys sorted: they are taken, and their errors
    // named, in the order of the file.
    std::vector<std::pair<const toml::key*, const toml::node*> > entries;
    for (const auto& [key, node] : table) entries.emplace_back(&key, &node);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        const toml::source_position& x = a.first->source().begin;
        const toml::source_position& y = b.first->source().begin;
        return std::tie(x.line, x.column) < std::tie(y.line, y.column);
    });

    const std::vector<LongOptionSummary> options = long_options();
    std::vector<std::string> errors;
    for (const auto& [toml_key, node] : entries) {
        const std::string key(toml_key->str());
        const std::string at = place(name, toml_key->source());
        const LongOptionSummary* option = option_of_key(options, key);
        if (node->is_table()) {
            errors.push_back(at + "\"" + key +
                             "\" is a table: the keys are flat, each at the top of the file "
                             "(no [sections], no dotted keys)");
            continue;
        }
        if (option && option->name == kConfigOption) {
            errors.push_back(at + "\"" + key +
                             "\" cannot be given in a configuration file (a file does not "
                             "include another)");
            continue;
        }
        if (!option) {
            errors.push_back(at + unknown_key(key));
            continue;
        }
        const KeyValue value = key_value(*option, key, *node);
        if (!value.error.empty()) {
            errors.push_back(at + value.error);
            continue;
        }
        if (!value.take) continue;
        // A setting the command line gave is checked on a copy, and dropped.
        const std::vector<std::string>& given = config.command_line_settings;
        const bool overridden = std::find(given.begin(), given.end(), option->name) != given.end();
        TxConfig copy;
        if (overridden) copy = config;
        const std::optional<std::string> refusal =
            take_long_option(overridden ? copy : config, option->name, value.text);
        if (refusal) {
            errors.push_back(at + key + " = " + shown(*node, value.text.value_or("true")) + ": " +
                             *refusal);
        }
    }
    return errors;
#endif
}

std::vector<std::string> take_config_file(TxConfig& config, const std::string& path) {
#ifndef TERRAMOD_HAVE_TOML
    (void)config;
    return {no_support(path)};
#else
    auto cannot_read = [&path](int error) {
        return std::vector<std::string>{"cannot read the configuration file \"" + path +
                                        "\": " + std::strerror(error)};
    };
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return cannot_read(errno);
    std::string text;
    char buffer[16384];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, count);
        if (text.size() > kMaxFileBytes) {
            std::fclose(file);
            return {"the configuration file \"" + path + "\" is larger than 1 MiB"};
        }
    }
    const int error = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (error != 0) return cannot_read(error);
    return take_config_text(config, text, path);
#endif
}

}  // namespace terramod
