#include "common/Component.h"

#include "server/DirectCreate.h"

namespace tonwell::tools {

HRESULT CreateExposureComponent(ITonwellExposure** ppComponent)
{
    return CreateTonwellExposureDirect(ppComponent);
}

} // namespace tonwell::tools
