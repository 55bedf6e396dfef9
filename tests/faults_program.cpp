// dormex-faults: the Linux program with the one fault the kill test asks for, built for the fault
// tests only. With DORMEX_SITELIB_FAULT=kill-after-save:N the process kills itself (SIGKILL)
// right after the N-th card save has returned, so committed, before that card's QueueDownload.
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

#include "Preview.h"
#include "gui/QtShell.h"

namespace {

// The number of the save after which the process is killed, 0 for none.
long killAfterSave() {
    const char* fault = std::getenv("DORMEX_SITELIB_FAULT");
    const std::string prefix = "kill-after-save:";
    if (!fault || std::string(fault).rfind(prefix, 0) != 0) return 0;
    return std::strtol(fault + prefix.size(), nullptr, 10);
}

class KillingCard : public dormex::site::Card {
public:
    KillingCard(std::shared_ptr<dormex::site::Card> real, long* savesLeft)
        : m_real(std::move(real)), m_savesLeft(savesLeft) {}
    void SetActive(std::int32_t a) override { m_real->SetActive(a); }
    void SetCardStatus(std::int32_t s) override { m_real->SetCardStatus(s); }
    void SetStatusReason(std::int32_t r) override { m_real->SetStatusReason(r); }
    void Save() override {
        m_real->Save();
        if (--*m_savesLeft == 0) std::raise(SIGKILL);
    }
    void QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        m_real->QueueDownload(a, b, c);
    }

private:
    std::shared_ptr<dormex::site::Card> m_real;
    long* m_savesLeft;
};

class FaultyShell : public dormex::gui::QtShell {
public:
    using QtShell::QtShell;
    dormex::site::CreateFunction siteLibrary(bool readOnly) override {
        if (m_savesLeft <= 0) return QtShell::siteLibrary(readOnly);
        return dormex::WrappedCards(QtShell::siteLibrary(readOnly), [this](auto card) {
            return std::make_shared<KillingCard>(std::move(card), &m_savesLeft);
        });
    }

private:
    long m_savesLeft = killAfterSave();
};

}  // namespace

int main(int argc, char** argv) {
    FaultyShell shell(argc, argv);
    return dormex::gui::RunQtProgram(argc, argv, shell);
}
