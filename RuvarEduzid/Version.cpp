#include "RuvarEduzid/Version.h"

const char* RuvarEduzid_GetVersion() { return RUVAREDUZID_VERSION_STRING; }
