// A second includer of the vocabulary, to see that its objects are private to each unit.
#include "command_vocabulary.h"

const void* PeerStringToCommandType() { return &StringToCommandType; }
const void* PeerCommandDataBool() { return &COMMAND_DATA_BOOL; }
