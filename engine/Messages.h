// The engine's message table and the routine that joins a message with an
// error description.
#pragma once

#include <string>

namespace zelt {

class EngineError;

enum MessageId : int {
    kMsgCannotOpenSource = 10, // "Error 1: Cannot open the file to be repaired. %1"
    kMsgGeneralError = 11,     // "Error 2: General error. %1"
    kMsgUnknownError = 12,     // "Error 3: Unknown error."
    kMsgLayerFileName = 13,    // "%sLayer%u.psd"
    kMsgCannotCreateFile = 14, // "Error 4: Cannot create file. %1"
    kMsgReadLayer = 15,        // "Read data of layer %u."
    kMsgReadMerged = 16,       // "Read merged image data."
    kMsgOutputIsSource = 17,
    kMsgOutputIsOtherSource = 18,
    kMsgOutputIsLink = 19,
    kMsgNameTooLong = 20,
    kMsgLayerNoData = 21,
    kMsgMergedNoData = 22,
    kMsgLayerNoPixels = 23,
    kMsgUnsafeOutputDir = 24,
    kMsgLayerRows = 25,
    kMsgLayerLeftOutBounds = 26,
    kMsgLayerLeftOutMemory = 27,
    kMsgCompositeTooLarge = 28,
    kMsgPropertiesFound = 29,
    kMsgOutputExists = 30,
    kMsgLayerFewSamples = 31,
    kMsgMergedFewSamples = 32,
    kMsgDocumentFewSamples = 33,
    kMsgPropertiesUnknown = 34,
    kMsgMergedRows = 35,
    kMsgLayerRecordLost = 36,
};

/// The text of a message; an empty text for an unknown identifier.
const char *LoadMessage(int id);

/// Capacity of the buffer an error describes itself into.
constexpr std::size_t kErrorDescriptionCapacity = 4096;

/// The message with its "%1" replaced by the error's description, which is
/// cut to 4095 characters and never scanned for placeholders itself.
std::string FormatErrorMessage(int id, const EngineError &error);

} // namespace zelt
