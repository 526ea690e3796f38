#include "ManPage.h"

#include <sstream>

namespace murel::cli
{

namespace
{

constexpr int sectionIndent = 7;
constexpr int itemIndent = 14;

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

constexpr int termWidth = 10;

std::string fillParagraph(const std::string& paragraph, int indent, int width);

/** "\tTERM\tTEXT": the term at the indent, the text filled beside it (or below a long term). */
std::string fillListItem(const std::string& item, int indent, int width)
{
    const std::size_t tab = item.find('\t', 1);
    const std::string term = item.substr(1, tab == std::string::npos ? std::string::npos : tab - 1);
    const std::string text = tab == std::string::npos ? std::string() : item.substr(tab + 1);
    std::string filled = fillParagraph(text, indent + termWidth, width);
    const std::string margin(std::size_t(indent), ' ');
    if (static_cast<int>(term.size()) < termWidth && !filled.empty())
        return margin + term + filled.substr(std::size_t(indent) + term.size());
    return margin + term + "\n" + filled;
}

std::string fillParagraph(const std::string& paragraph, int indent, int width)
{
    if (!paragraph.empty() && paragraph.front() == '\t')
        return fillListItem(paragraph, indent, width);
    std::istringstream words(paragraph);
    std::string result;
    std::string line;
    const std::string margin(std::size_t(indent), ' ');
    for (std::string word; words >> word;)
    {
        if (!line.empty() && static_cast<int>(margin.size() + line.size() + 1 + word.size()) > width)
        {
            result += margin + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty())
        result += margin + line + "\n";
    return result;
}

} // namespace

std::string wrapText(const std::string& text, int indent, int width)
{
    std::string result;
    std::string paragraph;
    const auto flush = [&]
    {
        result += fillParagraph(paragraph, indent, width);
        paragraph.clear();
    };
    for (const std::string& line : splitLines(text))
    {
        if (line.empty())
        {
            flush();
            result += "\n";
        }
        else if (line.front() == ' ')
        {
            flush();
            result += std::string(std::size_t(indent), ' ') + line + "\n";
        }
        else if (line.front() == '\t')
        {
            flush();
            paragraph = line;
        }
        else
        {
            paragraph += (paragraph.empty() ? "" : " ") + line;
        }
    }
    flush();
    return result;
}

ManPageFormatter::ManPageFormatter(ManPage manPage, int columns) : page(std::move(manPage)), width(columns) {}

std::string ManPageFormatter::make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const
{
    std::string help = "NAME\n" + wrapText(page.name + " - " + page.summary, sectionIndent, width);
    help += "\nSYNOPSIS\n";
    for (const std::string& line : page.synopsis)
    {
        // Continuation lines of a long synopsis hang under the command.
        const std::string filled = fillParagraph(line, sectionIndent + 4, width);
        help += filled.substr(4);
    }
    if (!page.description.empty())
        help += "\nDESCRIPTION\n" + wrapText(page.description, sectionIndent, width);
    const std::string arguments = makeOptionList(app, true);
    if (!arguments.empty())
        help += "\nARGUMENTS\n" + arguments;
    const std::string options = makeOptionList(app, false);
    if (!options.empty())
        help += "\nOPTIONS\n" + options;

    std::string commands;
    for (const CLI::App* command : app->get_subcommands({}))
    {
        if (command->get_group().empty())
            continue;
        commands += std::string(sectionIndent, ' ') + command->get_name() + "\n" +
                    wrapText(command->get_description(), itemIndent, width);
    }
    if (!commands.empty())
        help += "\nCOMMANDS\n" + commands;
    for (const auto& [title, text] : page.sections)
        help += "\n" + title + "\n" + wrapText(text, sectionIndent, width);
    return help;
}

std::string ManPageFormatter::makeOptionList(const CLI::App* app, bool positionals) const
{
    std::string list;
    for (const CLI::Option* option : app->get_options())
    {
        if (option->get_group().empty() || option->get_positional() != positionals)
            continue;
        std::string names;
        if (positionals)
        {
            names = option->get_name(true);
        }
        else
        {
            for (const std::string& name : option->get_snames())
                names += (names.empty() ? "-" : ", -") + name;
            for (const std::string& name : option->get_lnames())
                names += (names.empty() ? "--" : ", --") + name;
            if (option->get_expected_max() > 0)
                names += " " + option->get_type_name();
        }
        list += std::string(sectionIndent, ' ') + names + "\n" + wrapText(option->get_description(), itemIndent, width);
    }
    return list;
}

} // namespace murel::cli
