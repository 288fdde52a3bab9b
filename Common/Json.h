#pragma once

// The JSON reader of the common library (jsoncpp): Json::Reader, Json::Value.
#include <json/json.h>
