#include "desktop/windows/crash_reporter/crash_data/form_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/annotation_table_test_support.h"
#include "testing/test_support/scoped_environment_variable.h"

namespace tavra {
namespace {

using testing_support::annotationTable;
using testing_support::viewOf;

// The form fields of a crash whose client's table is `view`.
void fillFromTable(const AnnotationView& view, const std::wstring& stacktraceId,
                   FormFields* fields) {
  fillFormFields(readCrashAnnotations(view), stacktraceId, fields);
}
using Fields = std::vector<std::pair<std::wstring, std::wstring>>;

// The map in its own order, to check the order along with the contents.
Fields inOrder(const FormFields& fields) { return Fields(fields.begin(), fields.end()); }

class FormFieldsTest : public ::testing::Test {
 protected:
  ScopedEnvironmentVariable noEmail_{kCrashEmailVariable, nullptr};
};

TEST_F(FormFieldsTest, EveryFieldOfARendererCrashInCodeUnitOrder) {
  ScopedEnvironmentVariable email(kCrashEmailVariable, L"someone@example.test");
  const auto table = annotationTable({
      {L"process_type", L"renderer"},
      {L"origin", L"Wren"},
      {L"active_url", L"http://example.test/"},
      {L"active_url", L"page"},
      {L"ptime", L"12345"},
  });
  FormFields fields;
  fillFromTable(viewOf(table), L"id-42", &fields);
  const Fields expected = {
      {L"CrashUptime", L"12"}, {L"TotalUptime", L""},       {L"email", L"someone@example.test"},
      {L"origin", L"Wren"},    {L"stacktraceId", L"id-42"}, {L"url", L"http://example.test/page"},
      {L"userComments", L""}};
  EXPECT_EQ(expected, inOrder(fields));
}

TEST_F(FormFieldsTest, OptionalFieldsAreLeftOutOrKeptEmpty) {
  struct Case {
    std::vector<ClientAnnotation> table;
    std::wstring stacktraceId;
    Fields expected;
  };
  const Case cases[] = {
      // The browser process itself has no "url"; no id, no origin.
      {annotationTable({{L"process_type", L"browser"}, {L"active_url", L"http://a/"}}),
       L"",
       {{L"CrashUptime", L""}, {L"TotalUptime", L""}, {L"email", L""}, {L"userComments", L""}}},
      // Any other process gets one, empty when no URL was set.
      {annotationTable({{L"process_type", L"browser_tests"}, {L"ptime", L"999"}}),
       L"",
       {{L"CrashUptime", L""},
        {L"TotalUptime", L""},
        {L"email", L""},
        {L"url", L""},
        {L"userComments", L""}}},
      {annotationTable({{L"ptime", L"1000"}, {L"vazeri_test", L"1"}, {L"origin", L"Wren"}}),
       L"x",
       {{L"CrashUptime", L"1"},
        {L"TotalUptime", L""},
        {L"email", L""},
        {L"origin", L"VaZeri"},
        {L"stacktraceId", L"x"},
        {L"url", L""},
        {L"userComments", L""}}},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    FormFields fields;
    fillFromTable(viewOf(cases[i].table), cases[i].stacktraceId, &fields);
    EXPECT_EQ(cases[i].expected, inOrder(fields)) << "case " << i;
  }
  FormFields never;
  fillFromTable(AnnotationView(), L"", &never);
  EXPECT_EQ(5u, never.size());
  EXPECT_EQ(1u, never.count(L"url"));
}

TEST_F(FormFieldsTest, EmailOfAtMost191Units) {
  struct Case {
    const wchar_t* value;  // null: unset
    std::wstring expected;
  };
  const std::wstring longest(191, L'e');
  const std::wstring tooLong(192, L'e');
  const std::wstring muchTooLong(4000, L'e');
  const Case cases[] = {
      {nullptr, L""},         {L"", L""},
      {L"a@b", L"a@b"},       {longest.c_str(), longest},
      {tooLong.c_str(), L""}, {muchTooLong.c_str(), L""},
  };
  for (const Case& c : cases) {
    ScopedEnvironmentVariable email(kCrashEmailVariable, c.value);
    FormFields fields;
    fillFromTable(AnnotationView(), L"", &fields);
    EXPECT_EQ(c.expected, fields[L"email"]) << (c.value ? wcslen(c.value) : 0) << " units";
  }
}

TEST_F(FormFieldsTest, AFieldAlreadyThereKeepsItsFirstValue) {
  FormFields fields = {{L"email", L"given"}, {L"url", L"given url"}, {L"extra", L"kept"}};
  ScopedEnvironmentVariable email(kCrashEmailVariable, L"ignored@example.test");
  fillFromTable(viewOf(annotationTable({{L"active_url", L"http://b/"}})), L"", &fields);
  EXPECT_EQ(L"given", fields[L"email"]);
  EXPECT_EQ(L"given url", fields[L"url"]);
  EXPECT_EQ(L"kept", fields[L"extra"]);
  EXPECT_EQ(6u, fields.size());
}

}  // namespace
}  // namespace tavra
