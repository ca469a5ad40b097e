// The component's own trace scopes, Initialize and the destructor, as the trace
// library receives them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DirectCreate.h"
#include "trace_capture.h"

using namespace tonwell::test;

namespace {

class ComponentTraceTest : public TraceCaptureTest {
protected:
    ComponentTraceTest() : TraceCaptureTest(0x408) {} // scope lines, written at once
};

} // namespace

TEST_F(ComponentTraceTest, InitializeAndTheDestructorOpenScopes)
{
    ITonwellExposure* p = nullptr;
    ASSERT_EQ(CreateTonwellExposureDirect(&p), S_OK);
    ClearCapturedLines();
    EXPECT_EQ(p->Initialize(0), S_OK);
    EXPECT_EQ(p->Release(), 0u);

    const std::vector<std::string> expected = {
        "ENTERING: CTonwellExposure::InitializeCTonwellExposure::Initialize()",
        "EXITING:  CTonwellExposure::InitializeCTonwellExposure::Initialize()",
        "ENTERING: CTonwellExposure::~CTonwellExposureCTonwellExposure::~CTonwellExposure()",
        "EXITING:  CTonwellExposure::~CTonwellExposureCTonwellExposure::~CTonwellExposure()",
    };
    const std::vector<CapturedLine> lines = CapturedLines();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].text, expected[i]);
        EXPECT_EQ(lines[i].dwFlag, 0x8u) << i;
        EXPECT_EQ(lines[i].dwMask, 0x1u) << i;
        EXPECT_EQ(lines[i].dwLevel, 0u) << i;
    }
}
