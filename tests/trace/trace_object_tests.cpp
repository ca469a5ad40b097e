// Object tracking: the destruction lines and the leak report, byte for byte (the times aside).
#include "fake_trace_library.h"
#include "machine_root.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>
#include <tonwell_testhooks.h>

#include <cstdio>
#include <string>

using namespace tonwell::test;
using namespace tonwell::trace;

namespace {

class ObjectTrackingTest : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        ResetFakeTraceLibrary();
        SetTraceLibraryOverride(&FakeTraceLibrary());
        SetTraceDword("", "DefaultTraceFlags", 0x411);
        InitTraceClient(nullptr);
        StartObjectTracking();
        ASSERT_TRUE(ObjectTrackingActive());
    }

    void TearDown() override
    {
        StopObjectTracking();
        TermTraceClient();
        SetTraceLibraryOverride(nullptr);
        MachineRootFixture::TearDown();
    }

    static std::string Ptr(const void* p)
    {
        char sz[32];
        std::snprintf(sz, sizeof sz, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
        return sz;
    }

    // Replaces the digits of a "Time: '<n>'" field so that lines compare byte for byte.
    static std::string WithoutTime(const std::string& line)
    {
        std::string result = line;
        const std::string field = "Time: '";
        for (size_t at = result.find(field); at != std::string::npos; at = result.find(field, at + 1)) {
            size_t begin = at + field.size();
            size_t end = begin;
            while (end < result.size() && result[end] >= '0' && result[end] <= '9')
                ++end;
            if (end > begin && end < result.size() && result[end] == '\'')
                result.replace(begin, end - begin, "T");
        }
        return result;
    }
};

TEST_F(ObjectTrackingTest, DestroyingRegisteredObjectsWritesOneLineEach)
{
    TrackedObjectMarker engine = 0, component = 0, anonymous = 0;
    ASSERT_EQ(RegisterTrackedObject(&engine, "CTonwell", nullptr), S_OK);
    ASSERT_EQ(RegisterTrackedObject(&component, nullptr, u"CTonwellExposure"), S_OK);
    ASSERT_EQ(RegisterTrackedObject(&anonymous, nullptr, nullptr), S_OK);
    EXPECT_EQ(engine, 1);
    EXPECT_EQ(TrackedObjectCount(), 3u);

    ReleaseTrackedObject(&component);
    ReleaseTrackedObject(&engine);
    ReleaseTrackedObject(&anonymous);
    EXPECT_EQ(engine, 0);
    EXPECT_EQ(component, 0);
    EXPECT_EQ(TrackedObjectCount(), 0u);

    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(WithoutTime(lines[0].text),
              "Destroyed Object:  'CTonwellExposure    ', Ptr: '" + Ptr(&component) +
                  "', Destruction Time: 'T', # Active Objects: '2'");
    EXPECT_EQ(WithoutTime(lines[1].text), "Destroyed Object:  'CTonwell            ', Ptr: '" + Ptr(&engine) +
                                              "', Destruction Time: 'T', # Active Objects: '1'");
    EXPECT_EQ(WithoutTime(lines[2].text), "Destroying Object: 'UnknownClassName    ', Ptr: '" + Ptr(&anonymous) +
                                              "', Destruction Time: 'T', # Active Objects: '0'");
    for (const auto& line : lines) {
        EXPECT_EQ(line.dwFlag, 0x10u);
        EXPECT_FALSE(line.bHasFunction);
    }
}

TEST_F(ObjectTrackingTest, ReleasingMarkersWithoutRecords)
{
    TrackedObjectMarker unregistered = 0;
    ReleaseTrackedObject(&unregistered);
    EXPECT_TRUE(CapturedLines().empty());

    TrackedObjectMarker stray = 1;
    ReleaseTrackedObject(&stray);
    EXPECT_EQ(stray, 0);
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Destroying an object without an object record, # Active Objects: '0'");
    EXPECT_EQ(lines[0].dwFlag, 0x10u);
}

TEST_F(ObjectTrackingTest, DisabledTrackingClearsMarkersSilently)
{
    TrackedObjectMarker marker = 0;
    ASSERT_EQ(RegisterTrackedObject(&marker, "CTonwell", nullptr), S_OK);
    g_TraceSettings.EnableObjectTracking = 0;
    ReleaseTrackedObject(&marker);
    EXPECT_EQ(marker, 0);
    EXPECT_TRUE(CapturedLines().empty());
    EXPECT_EQ(TrackedObjectCount(), 1u) << "the record stays for the report";
    g_TraceSettings.EnableObjectTracking = 1;
}

TEST_F(ObjectTrackingTest, StoppingWithLiveObjectsWritesTheLeakReport)
{
    StopObjectTracking();
    EXPECT_TRUE(CapturedLines().empty()) << "an empty list reports nothing";
    StartObjectTracking();

    TrackedObjectMarker first = 0, second = 0;
    ASSERT_EQ(RegisterTrackedObject(&first, "ABCDEFGHIJKLMNOPQRSTUVWXY", nullptr), S_OK);
    ASSERT_EQ(RegisterTrackedObject(&second, nullptr, u"CTonwellExposure"), S_OK);
    StopObjectTracking();
    EXPECT_FALSE(ObjectTrackingActive());

    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].text, "*****Memory Leak - Not all objects were deleted*****");
    EXPECT_EQ(lines[1].text, "************WIA Registered Object Report************");
    EXPECT_EQ(lines[2].text, "Total Number of Active Objects: '2'");
    EXPECT_EQ(WithoutTime(lines[3].text),
              "Object: 'ABCDEFGHIJKLMNOPQRSTUVWXY', Ptr: '" + Ptr(&first) + "', Created Time: 'T'");
    EXPECT_EQ(WithoutTime(lines[4].text),
              "Object: 'CTonwellExposure    ', Ptr: '" + Ptr(&second) + "', Created Time: 'T'");
    EXPECT_EQ(lines[5].text, "************End of WIA Registered Object Report************");
    for (const auto& line : lines) {
        EXPECT_EQ(line.dwFlag, 0x1u);
        EXPECT_EQ(line.dwMask, 0u);
    }
    // Once stopped, releases write nothing (the records are gone) and registration is refused.
    ReleaseTrackedObject(&first);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(CapturedLines().size(), 6u);
    EXPECT_EQ(RegisterTrackedObject(&first, "X", nullptr), S_FALSE);
}

TEST_F(ObjectTrackingTest, TrackingThatCannotGetItsLockStaysOff)
{
    StopObjectTracking();
    TonwellFailNextCriticalSectionInit(1);
    StartObjectTracking();
    EXPECT_FALSE(ObjectTrackingActive());
    TrackedObjectMarker marker = 1;
    ReleaseTrackedObject(&marker);
    EXPECT_EQ(marker, 0);
    EXPECT_TRUE(CapturedLines().empty());
}

} // namespace
