#include "ManPage.h"

#include <algorithm>
#include <cctype>

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

namespace
{

/** Text with roff's special characters escaped; a line may not start with a control character. */
std::string escapeRoff(const std::string& text)
{
    std::string escaped;
    for (const char c : text)
    {
        if (c == '\\')
            escaped += "\\e";
        else if (c == '-')
            escaped += "\\-";
        else
            escaped += c;
    }
    if (!escaped.empty() && (escaped.front() == '.' || escaped.front() == '\''))
        escaped.insert(0, "\\&");
    return escaped;
}

/** Paragraphs of the page text as roff: blank lines part paragraphs, lines that start with a space
    are kept as they are, "\tTERM\tTEXT" become tagged paragraphs. */
std::string toRoff(const std::string& text)
{
    std::string roff = ".PP\n";
    bool inExample = false;
    for (const std::string& line : splitLines(text))
    {
        if (!line.empty() && line.front() == ' ')
        {
            if (!inExample)
                roff += ".nf\n";
            inExample = true;
            roff += escapeRoff(line) + "\n";
            continue;
        }
        if (inExample)
        {
            roff += ".fi\n";
            inExample = false;
        }
        if (line.empty())
            roff += ".PP\n";
        else if (line.front() == '\t')
        {
            const std::size_t tab = line.find('\t', 1);
            roff += ".TP\n.B " + escapeRoff(line.substr(1, tab == std::string::npos ? std::string::npos : tab - 1)) +
                    "\n" + (tab == std::string::npos ? "" : escapeRoff(line.substr(tab + 1)) + "\n");
        }
        else
            roff += escapeRoff(line) + "\n";
    }
    if (inExample)
        roff += ".fi\n";
    return roff;
}

std::string getOptionNames(const CLI::Option* option)
{
    std::string names;
    for (const std::string& name : option->get_snames())
        names += (names.empty() ? "-" : ", -") + name;
    for (const std::string& name : option->get_lnames())
        names += (names.empty() ? "--" : ", --") + name;
    return names;
}

} // namespace

std::string ManPageFormatter::makeRoffPage(const CLI::App* app, const std::string& version) const
{
    std::string pageName = page.name;
    std::replace(pageName.begin(), pageName.end(), ' ', '-');
    std::string upper = pageName;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::string roff = ".TH " + upper + " 1 \"\" \"murel " + version + "\" \"User Commands\"\n";
    roff += ".SH NAME\n" + escapeRoff(pageName) + " \\- " + escapeRoff(page.summary) + "\n";
    roff += ".SH SYNOPSIS\n.nf\n";
    for (const std::string& line : page.synopsis)
        roff += escapeRoff(line) + "\n";
    roff += ".fi\n";
    if (!page.description.empty())
        roff += ".SH DESCRIPTION\n" + toRoff(page.description);
    for (const bool positionals : {true, false})
    {
        std::string list;
        for (const CLI::Option* option : app->get_options())
        {
            if (option->get_group().empty() || option->get_positional() != positionals)
                continue;
            std::string names = positionals ? option->get_name(true) : getOptionNames(option);
            if (!positionals && option->get_expected_max() > 0)
                names += " " + option->get_type_name();
            list += ".TP\n.B " + escapeRoff(names) + "\n" + escapeRoff(option->get_description()) + "\n";
        }
        if (!list.empty())
            roff += std::string(positionals ? ".SH ARGUMENTS\n" : ".SH OPTIONS\n") + list;
    }
    std::string commands;
    for (const CLI::App* command : app->get_subcommands({}))
        if (!command->get_group().empty())
            commands +=
                ".TP\n.B " + escapeRoff(command->get_name()) + "\n" + escapeRoff(command->get_description()) + "\n";
    if (!commands.empty())
        roff += ".SH COMMANDS\n" + commands;
    for (const auto& [title, text] : page.sections)
        roff += ".SH " + title + "\n" + toRoff(text);
    return roff;
}

std::string makeBashCompletion(const CLI::App& app)
{
    std::string commands;
    std::string cases;
    for (const CLI::App* command : app.get_subcommands({}))
    {
        if (command->get_group().empty())
            continue;
        commands += (commands.empty() ? "" : " ") + command->get_name();
        std::string options;
        for (const CLI::Option* option : command->get_options())
        {
            if (option->get_positional())
                continue;
            for (const std::string& name : option->get_snames())
                options += " -" + name;
            for (const std::string& name : option->get_lnames())
                options += " --" + name;
        }
        cases += "    " + command->get_name() + ") options='" + options.substr(options.empty() ? 0 : 1) + "' ;;\n";
    }
    return "# bash completion for murel, made by murel itself from its command definitions.\n"
           "_murel()\n"
           "{\n"
           "    local current=${COMP_WORDS[COMP_CWORD]} command= options= i\n"
           "    for ((i = 1; i < COMP_CWORD; ++i)); do\n"
           "        case ${COMP_WORDS[i]} in -*) ;; *) command=${COMP_WORDS[i]}; break ;; esac\n"
           "    done\n"
           "    if [[ -z $command ]]; then\n"
           "        COMPREPLY=($(compgen -W '" +
           commands +
           " --help --version' -- \"$current\"))\n"
           "        return\n"
           "    fi\n"
           "    case $command in\n" +
           cases +
           "    esac\n"
           "    if [[ $command == help ]]; then\n"
           "        COMPREPLY=($(compgen -W '" +
           commands +
           "' -- \"$current\"))\n"
           "    elif [[ $current == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$options\" -- \"$current\"))\n"
           "    else\n"
           "        COMPREPLY=($(compgen -f -- \"$current\"))\n"
           "        compopt -o filenames 2> /dev/null\n"
           "    fi\n"
           "}\n"
           "complete -F _murel murel\n";
}

} // namespace murel::cli
