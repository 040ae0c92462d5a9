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
    case kMsgOutputIsSource: return "%s is the file being repaired: the output is named %s instead.";
    case kMsgOutputIsOtherSource: return "%s is another file of this repair run: the output is named %s instead.";
    case kMsgOutputIsLink:
        return "%s is not a plain file (a link, a folder, a pipe or a device): the output is named %s instead.";
    case kMsgNameTooLong: return "The name %s is too long for the file system: the output is named %s instead.";
    case kMsgLayerNoData: return "Layer %u has no pixel data left in the file: no file written.";
    case kMsgMergedNoData: return "The merged image has no pixel data left in the file: no file written.";
    case kMsgLayerNoPixels: return "Layer %u has no pixels (a group or an adjustment layer): no file written.";
    case kMsgUnsafeOutputDir:
        return "Error 5: The output directory %s belongs to another user and others may write in it: nothing is "
               "written there.";
    case kMsgLayerRows: return "Layer %u \"%s\" (%u x %u): %u of %u rows read; %u filled with white; %u damaged.";
    case kMsgLayerLeftOutBounds:
        return "Layer %u \"%s\" is left out of the rebuilt document: its bounds are not plausible.";
    case kMsgLayerLeftOutMemory:
        return "Layer %u \"%s\" is left out of the rebuilt document: it does not fit in the memory available.";
    case kMsgCompositeTooLarge:
        return "The rebuilt document's merged image does not fit in the memory available: it is left white.";
    case kMsgPropertiesFound: return "Image properties found in the surviving data: %s.";
    case kMsgOutputExists: return "%s already exists: the output is named %s instead.";
    case kMsgLayerFewSamples: return "Layer %u: only %s of its samples survive: no file written.";
    case kMsgMergedFewSamples: return "The merged image: only %s of its samples survive: no file written.";
    case kMsgDocumentFewSamples:
        return "The rebuilt document: only %s of its samples survive: no file written.";
    case kMsgMergedRows:
        return "The merged image (%u x %u): %u of %u rows read; %u filled with white; %u damaged.";
    case kMsgLayerRecordLost:
        return "Layer %u (%u x %u): its record is lost: its name, position and blend are unknown.";
    case kMsgPropertiesUnknown:
        return "The merged image's properties could not be found in the surviving data: give its width and height "
               "to read it.";
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
