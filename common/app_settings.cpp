#include "common/app_settings.h"

#include "common/target_format.h"

AppSettings Settings;
TargetAudioFormat TargetFormat;
EncoderSettings EncoderChoice;
