#include "Messages.h"

#include "Errors.h"

namespace zelt {

const char *LoadMessage(int id)
{
    switch (id) {
    case kMsgCannotOpenSource: return "Error 1: Cannot open the file to be repaired. %1";
    case kMsgGeneralError: return "Error 2: General error. %1";
    case kMsgUnknownError: return "Error 3: Unknown error.";
    case kMsgLayerFileName: return "%sLayer%u.psd";
    case kMsgCannotCreateFile: return "Error 4: Cannot create file. %1";
    case kMsgReadLayer: return "Read data of layer %u.";
    case kMsgReadMerged: return "Read merged image data.";
    default: return "";
    }
}

std::string FormatErrorMessage(int id, const EngineError &error)
{
    char description[kErrorDescriptionCapacity];
    error.Describe(description, sizeof description);
    return ReplaceFirstPlaceholder(LoadMessage(id), description);
}

} // namespace zelt
