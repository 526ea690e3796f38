#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <utility>
#include <vector>

namespace murel::cli
{

/** The text of a manual page; the option list comes from the command's CLI11 definition. */
struct ManPage
{
    /** "murel process" */
    std::string name;
    /** One line: what the command does. */
    std::string summary;
    std::vector<std::string> synopsis;
    /** Paragraphs separated by blank lines. A line that starts with a space is kept as it is
        (examples); a paragraph "\tTERM\tTEXT" is a list item, its text filled beside the term. */
    std::string description;
    /** Further sections after the options, such as EXIT STATUS and EXAMPLES. */
    std::vector<std::pair<std::string, std::string>> sections;
};

/** Prints --help in the layout of a manual page: NAME, SYNOPSIS, DESCRIPTION, ARGUMENTS,
    OPTIONS, COMMANDS, then the page's own sections. */
class ManPageFormatter : public CLI::Formatter
{
public:
    explicit ManPageFormatter(ManPage page, int width = 80);

    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;
    /** The same page as a roff manual page for man(1), section 1, for the given version. */
    std::string makeRoffPage(const CLI::App* app, const std::string& version) const;

private:
    std::string makeOptionList(const CLI::App* app, bool positionals) const;

    ManPage page;
    int width;
};

/** A bash completion script for the program: its commands, and each command's options. */
std::string makeBashCompletion(const CLI::App& app);

/** Fills paragraphs to the width, every line indented; lines that start with a space are kept
    (after the indent), paragraphs "\tTERM\tTEXT" become list items. */
std::string wrapText(const std::string& text, int indent, int width);

} // namespace murel::cli
