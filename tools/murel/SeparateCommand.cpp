#include "CommandOptions.h"
#include "CommandSupport.h"
#include "Failure.h"
#include "ManPage.h"

#include <CLI/CLI.hpp>

namespace murel::cli
{

void runSeparate(const SeparateOptions& options, const CommandContext& context)
{
    // The stems of murel process, so that both commands give the same files for the same models.
    ProcessOptions process;
    process.files = {options.input};
    process.stemsFolder = options.folder;
    process.models = options.models.empty() ? findSeparatorModels() : options.models;
    process.format = options.format;
    process.raw = options.raw;
    process.blockSize = options.blockSize;
    runProcess(process, context);
}

CLI::App* addSeparateCommand(CLI::App& app, SeparateOptions& options, CommonFlags& flags)
{
    CLI::App* separate = app.add_subcommand("separate", "Split an audio file into dialogue, music and effects.");
    ManPage page;
    page.name = "murel separate";
    page.summary = "split an audio file into dialogue, music and effects";
    page.synopsis = {"murel separate IN FOLDER [--model MODEL ...] [OPTIONS]"};
    page.description =
        "Runs the audio file IN through the installed stem separator and writes its three stems into "
        "FOLDER: Dialogue.EXT (speech), Music.EXT and Effects.EXT (everything else), each of the length, "
        "rate and channel count of IN and aligned with it sample for sample. The stems add up to IN "
        "within float rounding, so a remix at other levels is a sum with gains; write them with "
        "--format float to keep that (integer samples round each stem). FOLDER is created when it does not exist; "
        "existing stems are "
        "replaced only with -y.\n"
        "\n"
        "The separator is two models that run side by side, one worker thread each: "
        "separator-dialogue.model and separator-music.model, installed in "
        "PREFIX/share/MurelEngine/models beside the speech denoiser. The effects stem is their residual. "
        "With --model the given models separate instead, and the stems are named by their buses.\n"
        "\n"
        "This is murel process IN --stems FOLDER --separator. To turn a bus up or down in one mixed "
        "file instead, use murel process IN OUT --separator --gain Music=-12dB.";
    page.sections = {{"EXIT STATUS", exitStatusText},
                     {"EXAMPLES", "  murel separate film.wav stems\n"
                                  "  murel separate episode.flac stems --format float\n"
                                  "  murel process film.wav quiet-music.wav --separator --gain Music=-12dB"}};
    separate->formatter(std::make_shared<ManPageFormatter>(page));
    separate->add_option("IN", options.input, "The audio file to separate; - reads standard input.")
        ->required()
        ->type_name("IN");
    separate->add_option("FOLDER", options.folder, "The folder that receives the stems.")
        ->required()
        ->type_name("FOLDER");
    separate
        ->add_option("-m,--model", options.models,
                     "A model file of another separator, once per model in loading order. Default: the "
                     "installed separator.")
        ->allow_extra_args(false)
        ->type_name("MODEL");
    separate
        ->add_option("-t,--type", options.format.type,
                     "File type of the stems: wav, flac, ogg, opus, aiff, caf, w64, rf64, au or mp3. Default: "
                     "the type of IN.")
        ->type_name("TYPE");
    separate
        ->add_option("-f,--format", options.format.sampleFormat,
                     "Sample format of the stems: 8, 16, 24 or 32 (bit integers), float or double, or an "
                     "encoding of the type. Default: that of IN when the type can hold it.")
        ->type_name("FORMAT");
    addReadingOptions(separate, options.raw, options.blockSize);
    flags.addTo(separate);
    flags.addOverwriteTo(separate);
    return separate;
}

} // namespace murel::cli
