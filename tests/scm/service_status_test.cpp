// query_status against raw records handed back by the fake manager: the
// state, the masks, the exit code, the wait hint, the process id, the single
// call, and no allocation.
#include "scm/service_status.h"

#include "installer/vek_service.h"
#include "platform/fake/fake_platform.h"
#include "platform/fake/fake_scm.h"
#include "scm/service_control.h"
#include "support/allocation_hooks.h"
#include "support/fake_platform_test.h"

#include <gtest/gtest.h>

#include <vector>

namespace vek {
namespace {

namespace fake = platform::fake;

platform::ServiceStatusProcess running_record() {
    platform::ServiceStatusProcess raw{};
    raw.dwServiceType = 0x10;
    raw.dwCurrentState = 4;
    raw.dwControlsAccepted = 0x1;
    raw.dwProcessId = 4242;
    return raw;
}

class QueryStatus : public vek::testing::FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        fake::ServiceRegistration service;
        service.name = u"vek-system-service";
        service.display_name = u"Vek System Service";
        registration_ = &fake::register_service(std::move(service));
    }

    // Opens the service, has the manager hand back `raw`, queries.
    std::expected<ServiceStatusReport, ScmError> query(platform::ServiceStatusProcess raw) {
        registration_->raw_status = raw;
        return query_opened();
    }

    std::expected<ServiceStatusReport, ScmError> query_opened() {
        auto connection = connect(manager_access);
        EXPECT_TRUE(connection.has_value());
        auto service = open_service(*connection, service_key_name, open_service_access);
        EXPECT_TRUE(service.has_value());
        return query_status(*service);
    }

    fake::ServiceRegistration* registration_ = nullptr;
};

TEST_F(QueryStatus, MakesOneCallIntoAZeroed36ByteRecord) {
    auto report = query(running_record());
    ASSERT_TRUE(report.has_value());
    auto calls = fake::calls_of("QueryServiceStatusEx");
    ASSERT_EQ(calls.size(), 1u);
    // Handle, level SC_STATUS_PROCESS_INFO, size, bytes-needed given, zeroed.
    EXPECT_EQ(calls[0].numbers.at(1), 0u);
    EXPECT_EQ(calls[0].numbers.at(2), 36u);
    EXPECT_EQ(calls[0].numbers.at(3), 1u);
    EXPECT_EQ(calls[0].numbers.at(4), 1u);
}

TEST_F(QueryStatus, DecodesAWholeRecord) {
    platform::ServiceStatusProcess raw{0x10, 4, 0x5, 0, 0, 3, 2500, 4242, 0x1};
    auto report = query(raw);
    ASSERT_TRUE(report.has_value()) << report.error().diagnostic_text();
    EXPECT_EQ(*report, (ServiceStatusReport{0x10, ServiceState::Running, 0x5,
                                            ServiceExitCode{ServiceExitCode::Win32{0}}, 3,
                                            WaitHint{2, 500'000'000}, 4242}));
}

struct StateRow {
    std::uint32_t raw;
    ServiceState state;
    bool has_process_id;
};

class QueryStatusState : public QueryStatus, public ::testing::WithParamInterface<StateRow> {};

TEST_P(QueryStatusState, GivesTheStateAndAProcessIdOnlyWhenRunning) {
    platform::ServiceStatusProcess raw = running_record();
    raw.dwCurrentState = GetParam().raw;
    auto report = query(raw);
    ASSERT_TRUE(report.has_value()) << report.error().diagnostic_text();
    EXPECT_EQ(report->current_state, GetParam().state);
    if (GetParam().has_process_id) {
        EXPECT_EQ(report->process_id, 4242u);
    } else {
        EXPECT_EQ(report->process_id, std::nullopt);
    }
}

INSTANTIATE_TEST_SUITE_P(Each, QueryStatusState,
                         ::testing::Values(StateRow{1, ServiceState::Stopped, false},
                                           StateRow{2, ServiceState::StartPending, false},
                                           StateRow{3, ServiceState::StopPending, false},
                                           StateRow{4, ServiceState::Running, true},
                                           StateRow{5, ServiceState::ContinuePending, false},
                                           StateRow{6, ServiceState::PausePending, false},
                                           StateRow{7, ServiceState::Paused, false}));

class QueryStatusBadState : public QueryStatus,
                            public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(QueryStatusBadState, IsParseValueWithTheRawValue) {
    platform::ServiceStatusProcess raw = running_record();
    raw.dwCurrentState = GetParam();
    auto report = query(raw);
    ASSERT_FALSE(report.has_value());
    const auto* parse = report.error().get_if<ScmError::ParseValue>();
    ASSERT_NE(parse, nullptr) << report.error().diagnostic_text();
    EXPECT_EQ(parse->label, "service status");
    const auto* invalid = std::get_if<RawValueError::InvalidInteger>(&parse->error.variant());
    ASSERT_NE(invalid, nullptr);
    EXPECT_EQ(invalid->value, GetParam());
    EXPECT_EQ(report.error().message(), "invalid service status value");
    EXPECT_EQ(report.error().cause()->message(),
              "invalid unsigned integer for the target type: " + std::to_string(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Values, QueryStatusBadState,
                         ::testing::Values(0u, 8u, 0x80000004u, 0xFFFFFFFFu));

struct ExitRow {
    std::uint32_t win32;
    std::uint32_t specific;
    ServiceExitCode expected;
};

class QueryStatusExitCode : public QueryStatus, public ::testing::WithParamInterface<ExitRow> {};

TEST_P(QueryStatusExitCode, IsServiceSpecificOnlyFor1066) {
    platform::ServiceStatusProcess raw = running_record();
    raw.dwCurrentState = 1;
    raw.dwWin32ExitCode = GetParam().win32;
    raw.dwServiceSpecificExitCode = GetParam().specific;
    auto report = query(raw);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->exit_code, GetParam().expected);
}

using Win32 = ServiceExitCode::Win32;
using Specific = ServiceExitCode::ServiceSpecific;
INSTANTIATE_TEST_SUITE_P(
    Table, QueryStatusExitCode,
    ::testing::Values(ExitRow{1066, 42, {Specific{42}}}, ExitRow{1066, 0, {Specific{0}}},
                      ExitRow{0, 42, {Win32{0}}}, ExitRow{5, 7, {Win32{5}}},
                      ExitRow{1067, 42, {Win32{1067}}},
                      ExitRow{0xFFFFFFFF, 42, {Win32{0xFFFFFFFF}}}));

struct WaitRow {
    std::uint32_t milliseconds;
    WaitHint hint;
};

class QueryStatusWaitHint : public QueryStatus, public ::testing::WithParamInterface<WaitRow> {};

TEST_P(QueryStatusWaitHint, SplitsMillisecondsIntoSecondsAndNanoseconds) {
    platform::ServiceStatusProcess raw = running_record();
    raw.dwWaitHint = GetParam().milliseconds;
    auto report = query(raw);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->wait_hint, GetParam().hint);
}

INSTANTIATE_TEST_SUITE_P(Table, QueryStatusWaitHint,
                         ::testing::Values(WaitRow{0, {0, 0}}, WaitRow{999, {0, 999'000'000}},
                                           WaitRow{1000, {1, 0}},
                                           WaitRow{2500, {2, 500'000'000}},
                                           WaitRow{0xFFFFFFFF, {4'294'967, 295'000'000}}));

TEST_F(QueryStatus, DropsUnknownTypeAndControlBits) {
    platform::ServiceStatusProcess raw = running_record();
    raw.dwServiceType = 0x10 | 0x80 | 0x200 | 0x4 | 0x8;
    raw.dwControlsAccepted = 0x1 | 0x400 | 0x800 | 0x80000000;
    auto report = query(raw);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->service_type, 0x10u);
    EXPECT_EQ(report->controls_accepted, 0x401u);

    raw.dwServiceType = 0xFFFFFFFF;
    raw.dwControlsAccepted = 0xFFFFFFFF;
    report = query(raw);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->service_type, 0x173u);
    EXPECT_EQ(report->controls_accepted, 0x7FFu);
}

TEST_F(QueryStatus, KeepsTheCheckpointAndIgnoresTheFlags) {
    platform::ServiceStatusProcess raw = running_record();
    raw.dwCheckPoint = 0xFFFFFFFF;
    auto report = query(raw);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->checkpoint, 0xFFFFFFFFu);
    raw.dwServiceFlags = 0xFFFFFFFF;
    auto again = query(raw);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, *report);
}

TEST_F(QueryStatus, FailureIsWinapiWithTheCode) {
    fake::fail_next("QueryServiceStatusEx", 6);
    auto report = query_opened();
    ASSERT_FALSE(report.has_value());
    const auto* winapi = report.error().get_if<ScmError::Winapi>();
    ASSERT_NE(winapi, nullptr);
    EXPECT_EQ(winapi->error.code(), 6);
    EXPECT_EQ(fake::calls_of("QueryServiceStatusEx").size(), 1u);
}

TEST_F(QueryStatus, ReadsTheStateTheManagerKeeps) {
    auto report = query_opened();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->current_state, ServiceState::Stopped);
    EXPECT_EQ(report->process_id, std::nullopt);

    auto connection = connect(manager_access);
    ASSERT_TRUE(connection.has_value());
    auto service = open_service(*connection, service_key_name, open_service_access);
    ASSERT_TRUE(service.has_value());
    ASSERT_TRUE(start(*service, {}).has_value());
    report = query_status(*service);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->current_state, ServiceState::Running);
    EXPECT_EQ(report->process_id, registration_->process_id);
}

// With recording off the fake itself allocates nothing, so whatever is
// counted is the query's own.
TEST_F(QueryStatus, AllocatesNothing) {
    auto connection = connect(manager_access);
    ASSERT_TRUE(connection.has_value());
    auto service = open_service(*connection, service_key_name, open_service_access);
    ASSERT_TRUE(service.has_value());
    fake::set_scm_recording(false);

    registration_->raw_status = running_record();
    {
        vek::testing::AllocationCounter counter;
        auto report = query_status(*service);
        EXPECT_TRUE(report.has_value());
        EXPECT_EQ(counter.count(), 0u);
    }
    registration_->raw_status->dwCurrentState = 8;
    {
        vek::testing::AllocationCounter counter;
        auto report = query_status(*service);
        EXPECT_FALSE(report.has_value());
        EXPECT_EQ(counter.count(), 0u);
    }
    fake::fail_next("QueryServiceStatusEx", 5);
    {
        vek::testing::AllocationCounter counter;
        auto report = query_status(*service);
        EXPECT_FALSE(report.has_value());
        EXPECT_EQ(counter.count(), 0u);
    }
}

}  // namespace
}  // namespace vek
