#include "Questions.h"

#include "Desk.h"
#include "TableRules.h"

#include <algorithm>

namespace desk {

std::u16string Fill(std::u16string text, const std::u16string& first, const std::u16string& second) {
    std::u16string filled;
    bool done[2] = {false, false};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int n = text[i] == u'%' && i + 1 < text.size() ? text[i + 1] - u'1' : -1;
        if ((n == 0 || n == 1) && !done[n]) {
            filled += n == 0 ? first : second;
            done[n] = true;
            ++i;
        } else {
            filled += text[i];
        }
    }
    return filled;
}

Questions::Questions(View& view, weighing::HeldWork& held, std::function<bool()> mayShow, std::function<void()> idle)
    : view_(view), held_(held), mayShow_(std::move(mayShow)), idle_(std::move(idle)) {}

void Questions::Ask(Prompt kind, int mode, std::u16string text, Continuation then, bool systemError) {
    if (!then && mode == kOkOnly) {
        // The same notice already waiting for the operator says it all (a Test cycle that finds
        // no port every round, a line that keeps failing).
        const auto same = [&](const Pending& p) {
            return !p.then && p.question.kind == kind && p.question.mode == mode && p.question.text == text;
        };
        if ((open_ && same(*open_)) || std::any_of(waiting_.begin(), waiting_.end(), same)) return;
    }
    waiting_.push_back({{next_++, mode, std::move(text), systemError, kind}, std::move(then)});
    ShowNext();
}

void Questions::ShowNext() {
    if (open_ || waiting_.empty() || !mayShow_()) return;
    open_ = std::move(waiting_.front());
    waiting_.pop_front();
    held_.Enter();  // held work waits for the answer
    view_.Ask(open_->question);
}

void Questions::Answer(std::uint64_t question, int answer) {
    if (!open_ || open_->question.id != question) return;
    Pending answered = std::move(*open_);
    open_.reset();
    if (answered.then) answered.then(answer);
    const bool outermost = held_.Leave();
    ShowNext();
    if (outermost && !open_) idle_();
}

bool Questions::Asked(Prompt kind) const {
    const auto of = [kind](const Pending& p) { return p.question.kind == kind; };
    return (open_ && of(*open_)) || std::any_of(waiting_.begin(), waiting_.end(), of);
}

void Questions::Forget(Prompt kind) {
    std::erase_if(waiting_, [kind](const Pending& p) { return p.question.kind == kind; });
}

}  // namespace desk
