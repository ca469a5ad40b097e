// A fresh machine root and a tracing client started on the trace tests' fake
// trace library, so that a test reads the lines the code under test hands over.
#pragma once

#include <gtest/gtest.h>

#include "TraceClient.h"
#include "fake_trace_library.h"
#include "machine_root.h"
#include "trace_test_support.h"

namespace tonwell::test {

class TraceCaptureTest : public MachineRootFixture {
protected:
    // The client starts with these TraceFlags; lines are captured from then on.
    explicit TraceCaptureTest(DWORD dwTraceFlags) : m_dwTraceFlags(dwTraceFlags) {}

    void SetUp() override
    {
        MachineRootFixture::SetUp();
        // Started lazily by earlier tests of this process, perhaps, without the fake.
        TermTraceClient();
        ClearCapturedLines();
        tonwell::trace::SetTraceLibraryOverride(&FakeTraceLibrary());
        SetTraceDword("", "DefaultTraceFlags", m_dwTraceFlags);
        InitTraceClient(nullptr);
        ASSERT_TRUE(IsTraceClientInitialised());
    }
    void TearDown() override
    {
        TermTraceClient();
        tonwell::trace::SetTraceLibraryOverride(nullptr);
        MachineRootFixture::TearDown();
    }

private:
    DWORD m_dwTraceFlags;
};

} // namespace tonwell::test
