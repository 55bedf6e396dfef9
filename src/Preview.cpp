#include "Preview.h"

#include "platform/Error.h"
#include "platform/Platform.h"
#include "uDormex.h"

namespace dormex {
namespace {

class PreviewReport : public RunReport {
public:
    PreviewReport(std::FILE* out, std::FILE* err) : m_out(out), m_err(err) {}
    void daysRead(const std::string& daysText) override { m_found.days = daysText; }
    void typeDaysRead(const std::string& typeName, const std::string& daysText,
                      const std::string& cutoffDate) override {
        m_typeDays.push_back(entry::typeDays(typeName, daysText, cutoffDate));
    }
    void runStarted(const std::string& cutoffDate) override {
        m_found.cutoffDate = cutoffDate;
        m_started = true;
    }
    void feedChecked(const std::string& literal, std::optional<std::int64_t> count) override {
        line(m_out, entry::feedChecked(literal, count));
        m_found.feedStopped = count == 0;
    }
    void cardDeactivated(const entry::CardRow& row) override {
        line(m_out, entry::wouldDeactivate(row));
        if (const std::string shared = entry::sharedKey(row); !shared.empty()) line(m_out, shared);
        ++m_found.cards;
    }
    void cardKept(const entry::CardRow& row, const std::string& note) override {
        line(m_out, entry::kept(row, note));
        ++m_found.kept;
    }
    void limitExceeded(std::size_t count, std::int32_t) override { m_found.selected = count; }
    void runFailed(int step, const std::string& message, const std::string& statement) override {
        line(m_err, entry::runFailed(step, message, statement));
    }
    void namesFailed(const std::string& message) override {
        line(m_err, entry::namesFailed(message));
    }
    void recordFailed(const std::string&, const std::string&) override {}
    void presentedChecked(const std::vector<entry::Presented>& cards) override {
        if (cards.empty()) return;
        line(m_out, entry::kPresentedHeading);
        for (const entry::Presented& card : cards) line(m_out, entry::presented(card));
    }
    void presentedFailed(const std::string& message) override {
        line(m_err, entry::presentedFailed(message));
    }
    void setupFailed(const std::string& text) override {
        line(m_err, std::string(platform::kApplicationTitle) + ": " + text);
    }
    // The last line, once a run started: the count and the verdicts of the guards `guards`.
    void summary(const RunGuards& guards) {
        if (!m_started) return;
        m_found.limit = guards.maxDeactivations;
        m_found.keeping = !guards.keep.empty();
        for (const std::string& typeDays : m_typeDays) line(m_out, typeDays);
        line(m_out, entry::summary(m_found));
    }

private:
    static void line(std::FILE* to, const std::string& text) {
        std::fprintf(to, "%s\n", text.c_str());
    }

    std::FILE* m_out;
    std::FILE* m_err;
    bool m_started = false;
    entry::PreviewSummary m_found;
    std::vector<std::string> m_typeDays;  // the selected types' own days, in type order
};

}  // namespace

int RunPreview(site::CreateFunction createSite, std::FILE* out, std::FILE* err) {
    PreviewReport report(out, err);
    TForm1 form(std::move(createSite), StartMode::Preview, report);
    const bool ok = RunFormCreate(form, report);
    if (ok) report.summary(form.guards());
    std::fflush(out);
    return ExitStatus(form, !ok);
}

}  // namespace dormex
