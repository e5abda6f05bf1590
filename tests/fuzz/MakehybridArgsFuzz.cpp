// kilnware-hdiutil's argument vector: the input cut at NUL bytes into arguments. Only the one
// fixed shape is taken, and a request taken, put back into that shape, gives itself again.

#include "FuzzSupport.h"
#include "MakehybridArguments.h"

using namespace kilnware;

namespace {

std::optional<standins::MakehybridArguments> parse(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{"kilnware-hdiutil"};
    for (const auto& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    return standins::parseMakehybridArguments(static_cast<int>(argv.size() - 1), argv.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto arguments = fuzz::split({reinterpret_cast<const char*>(data), size}, '\0');
    const auto request = parse(arguments);
    if (!request) {
        return 0;
    }
    fuzz::require(arguments.size() == 11 && arguments[0] == "makehybrid" && arguments[8] == "-o" &&
                      !request->image.empty() && !request->folder.empty(),
                  "only the fixed shape, with an image and a folder, is taken");
    const auto again =
        parse({"makehybrid", "-iso", "-joliet", "-udf", "-udf-version", "1.02", "-udf-volume-name",
               request->volumeName, "-o", request->image, request->folder});
    fuzz::require(again && again->volumeName == request->volumeName &&
                      again->image == request->image && again->folder == request->folder,
                  "the request put back into its shape gives itself");
    return 0;
}
