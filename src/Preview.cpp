#include "Preview.h"

#include "platform/Error.h"
#include "platform/Platform.h"
#include "platform/Text.h"
#include "uDormex.h"

namespace dormex {
namespace {

class PreviewReport : public RunReport {
public:
    PreviewReport(std::FILE* out, std::FILE* err) : m_out(out), m_err(err) {}
    void daysRead(const std::string& daysText) override { m_days = daysText; }
    void runStarted(const std::string& cutoffDate) override {
        m_cutoff = cutoffDate;
        m_started = true;
    }
    // The literal exactly as the statements send it, and the count as a plain number.
    void feedChecked(const std::string& literal, std::optional<std::int64_t> count) override {
        std::string verdict = "not counted, as FeedCheck is off";
        if (count && *count == 0) {
            verdict =
                "0; the run would stop here and deactivate none (the transaction feed may "
                "have stopped, or the database reads the date differently: see "
                "SqlDateFormat)";
            m_feedStopped = true;
        } else if (count) {
            verdict = std::to_string(*count) + "; the feed check passes";
        }
        std::fprintf(m_out, "Door transactions after '%s': %s\n", literal.c_str(), verdict.c_str());
    }
    // A key number several cards share is named: the run takes the library's first card.
    void cardDeactivated(const std::string& rowText, std::int64_t keyNumber,
                         std::int32_t cards) override {
        std::fprintf(m_out, "%s, Would deactivate\n", rowText.c_str());
        if (cards > 1) {
            std::fprintf(m_out,
                         "Key number %lld is shared by %d cards: the run deactivates only the "
                         "first the site library gives.\n",
                         static_cast<long long>(keyNumber), static_cast<int>(cards));
        }
        ++m_cards;
    }
    void cardKept(const std::string& rowText, const std::string& note) override {
        std::fprintf(m_out, "%s, Kept%s%s\n", rowText.c_str(), note.empty() ? "" : ": ",
                     note.c_str());
        ++m_kept;
    }
    void limitExceeded(std::size_t count, std::int32_t limit) override {
        m_selected = count;
        m_limit = limit;
    }
    void failure(const std::string& entry) override { std::fprintf(m_err, "%s\n", entry.c_str()); }
    void setupFailed(const std::string& text) override {
        std::fprintf(m_err, "%s: %s\n", platform::kApplicationTitle, text.c_str());
    }
    // The count and the verdict of MaxDeactivations when it stopped the run, or when set.
    // With a [Keep] list (`keeping`), also the number of selected cards it kept.
    void summary(std::int32_t limit, bool keeping) const {
        if (!m_started) return;
        std::string verdict;
        if (m_feedStopped) {
            verdict = ": the run would stop at the feed check";
        } else if (m_selected > 0) {
            verdict = ": the run would stop, as " + std::to_string(m_selected) +
                      " are selected, more than MaxDeactivations = " + std::to_string(m_limit);
        } else if (limit > 0) {
            verdict = ", within MaxDeactivations = " + std::to_string(limit);
        }
        const std::string kept = keeping ? ", " + std::to_string(m_kept) + " kept" : "";
        std::fprintf(m_out, "%d card%s would be deactivated%s (Days = %s, cut-off date %s)%s\n",
                     m_cards, m_cards == 1 ? "" : "s", kept.c_str(), m_days.c_str(),
                     m_cutoff.c_str(), verdict.c_str());
    }

private:
    std::FILE* m_out;
    std::FILE* m_err;
    std::string m_days;
    std::string m_cutoff;
    bool m_started = false;
    bool m_feedStopped = false;
    int m_cards = 0;
    int m_kept = 0;
    std::size_t m_selected = 0;
    std::int32_t m_limit = 0;
};

}  // namespace

int RunPreview(site::CreateFunction createSite, std::FILE* out, std::FILE* err) {
    PreviewReport report(out, err);
    TForm1 form(std::move(createSite), StartMode::Preview, report);
    const bool ok = RunFormCreate(form, report);
    if (ok) report.summary(form.guards().maxDeactivations, !form.guards().keep.empty());
    std::fflush(out);
    return ExitStatus(form, !ok);
}

}  // namespace dormex
