#include "ToolTestSupport.h"

#include <fstream>

namespace murel::test
{
namespace
{

/** Files for the failures: a good model and input, and broken variants of both. */
class ErrorPathTest : public ToolFiles
{
protected:
    void SetUp() override
    {
        ToolFiles::SetUp();
        std::ofstream(folder.file("text.wav")) << "not audio\n";
        std::ofstream(folder.file("garbage.model")) << "garbage\n";
        const std::string bytes = readFile(model);
        std::ofstream(folder.file("truncated.model"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
        ::mkdir(folder.file("folder.wav").c_str(), 0777);
        runMurelOrFail({"make-model", folder.file("other-hop.model"), "--hop", "512"});
    }

    /** Runs murel, which must fail with the status and one line, and leave the folder as it was. */
    CommandResult expectFailure(const std::vector<std::string>& arguments, int status)
    {
        const std::vector<std::string> before = listFolder(folder.getPath());
        const CommandResult result = runMurel(arguments);
        EXPECT_EQ(result.status, status) << result.err;
        EXPECT_EQ(result.getNumOfErrorLines(), 1u) << result.err;
        EXPECT_EQ(result.err.rfind("murel", 0), 0u) << result.err;
        EXPECT_EQ(listFolder(folder.getPath()), before) << "left files behind: " << result.err;
        return result;
    }
};

TEST_F(ErrorPathTest, BadInputFiles)
{
    expectFailure({"process", folder.file("missing.wav"), output, "-m", model}, cli::exitFailure);
    expectFailure({"process", folder.file("text.wav"), output, "-m", model}, cli::exitFailure);
    expectFailure({"process", folder.file("folder.wav"), output, "-m", model}, cli::exitFailure);
}

TEST_F(ErrorPathTest, ModelsThatDoNotLoad)
{
    expectFailure({"process", input, output, "-m", folder.file("missing.model")}, cli::exitFailure);
    expectFailure({"process", input, output, "-m", folder.file("garbage.model")}, cli::exitFailure);
    expectFailure({"process", input, output, "-m", folder.file("truncated.model")}, cli::exitFailure);
    expectFailure({"process", input, output, "-m", model, "-m", folder.file("other-hop.model")}, cli::exitFailure);
    expectFailure({"info", folder.file("garbage.model")}, cli::exitFailure);
    expectFailure({"bench", folder.file("missing.model")}, cli::exitFailure);
}

TEST_F(ErrorPathTest, RateTheProcessorRejects)
{
    // At 10 Hz the model's hop would shrink below one sample.
    const std::string slow = folder.file("slow.wav");
    writeAudio(slow, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 10, std::vector<float>(100, 0.1f));
    const CommandResult result = expectFailure({"process", slow, output, "-m", model}, cli::exitFailure);
    EXPECT_NE(result.err.find("at 10 Hz (rates from 1000 to 768000 Hz"), std::string::npos) << result.err;
}

TEST_F(ErrorPathTest, UnknownBussesAndBadValues)
{
    expectFailure({"process", input, output, "-m", model, "--gain", "Voice=0"}, cli::exitUsage);
    expectFailure({"process", input, output, "-m", model, "--solo", "7"}, cli::exitUsage);
    expectFailure({"process", input, output, "-m", model, "--sensitivity", "Signal=101"}, cli::exitUsage);
    expectFailure({"process", input, output, "-m", model, "--gain", "Noise=-12"}, cli::exitUsage);
    expectFailure({"process", input, output, "-m", model, "--gain", "Noise"}, cli::exitUsage);
    expectFailure({"process", input, "--stems", folder.file("stems"), "-m", model, "-g", "X=1"}, cli::exitUsage);
}

TEST_F(ErrorPathTest, CommandLinesThatMakeNoSense)
{
    expectFailure({"process", input, output, folder.file("third.wav"), "-m", model}, cli::exitUsage);
    expectFailure({"process", input, "-m", model}, cli::exitUsage);
    expectFailure({"process", input, output, "-m", model, "--frobnicate"}, cli::exitUsage);
    expectFailure({"process", input, output, "-m", model, "--type", "xyz"}, cli::exitUsage);
    expectFailure({"process", input, output, "-m", model, "--format", "float", "--type", "flac"}, cli::exitUsage);
    expectFailure({"process", input, output, "-m", model, "--block", "0"}, cli::exitUsage);
    expectFailure({"make-model", folder.file("x.model"), "--fft", "1000"}, cli::exitUsage);
    expectFailure({"frobnicate"}, cli::exitUsage);
}

TEST_F(ErrorPathTest, OutputsThatCannotBeWritten)
{
    expectFailure({"process", input, folder.file("no/such/folder/out.wav"), "-m", model}, cli::exitFailure);
    expectFailure({"process", input, folder.file("folder.wav"), "-m", model}, cli::exitFailure);
    // Stems into something that is not a folder.
    expectFailure({"process", input, "--stems", model, "-m", model}, cli::exitFailure);
}

TEST_F(ErrorPathTest, FailureKeepsAnExistingOutputAsItWas)
{
    std::ofstream(output) << "precious";
    const CommandResult result = runMurel({"process", input, output, "-m", folder.file("garbage.model"), "-y"});
    EXPECT_EQ(result.status, cli::exitFailure);
    EXPECT_EQ(readFile(output), "precious");
}

TEST_F(ErrorPathTest, InterruptionLeavesNothingBehind)
{
    const std::vector<std::string> before = listFolder(folder.getPath());
    const std::atomic<bool> interrupted{true};
    const std::string stems = folder.file("stems");
    const CommandResult result = runMurel({"process", input, output, "--stems", stems, "-m", model}, &interrupted);
    EXPECT_EQ(result.status, cli::exitInterrupted);
    EXPECT_EQ(result.err, "murel process: interrupted\n");
    // The stems folder it created is gone again, and no temporary file stays.
    EXPECT_EQ(listFolder(folder.getPath()), before);
}

} // namespace
} // namespace murel::test
