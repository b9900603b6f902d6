#include "kit/ToolLog.h"

#include "kit/Log.h"

void StartToolLog()
{
    Vant::LogInit();
    Vant::LogEnableExitFlush(true);
    Vant::LogEnable(true);
    Vant::LogEnableDelete(true);
    Vant::LogSetPrefix("BrenuSearchTools_");
    Vant::LogSetKeepDays(30);
}
