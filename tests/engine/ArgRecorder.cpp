// A program for hand-off tests: writes its working directory, its command line
// as the starter reads it (UTF-8) and its arguments, one per line, to a file
// beside itself named after it with ".record" appended.

#include "platform/Platform.h"
#include "support/TextConvert.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

int main(int argc, char** argv)
{
    initPathConversion();
    const boost::filesystem::path self(platform::modulePath());
    boost::filesystem::path partial = self;
    partial += L".partial";
    {
        boost::filesystem::ofstream out(partial, std::ios::binary);
        std::string commandLine;
        WideToUtf8(platform::commandLine(argc, argv).c_str(), commandLine);
        out << boost::filesystem::current_path().string() << "\n" << commandLine << "\n";
        for (int i = 1; i < argc; ++i)
            out << argv[i] << "\n";
        if (!out)
            return 1;
    }
    boost::filesystem::path record = self;
    record += L".record";
    boost::system::error_code error;
    boost::filesystem::rename(partial, record, error);
    return error ? 1 : 0;
}
