#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <algorithm>
#include <utility>

// URL -> the cache entries stored for it, most recently used first. A reader whose keys carry more than
// the URL (a top-level site, say) cannot go from a URL to its entries directly, so it fills one of these
// from a walk and then looks candidates up here. Filled with add(), then finish() once; not thread-safe,
// the reader's own mutex guards it.
template <typename Candidate>
class UrlIndex
{
public:
    // Candidates of the same URL used at the same time keep the order they were added in.
    struct AddedOrder
    {
        bool operator()(const Candidate&, const Candidate&) const { return false; }
    };

    void add(const QString& url, Candidate candidate, const QDateTime& lastUsed)
    {
        added_[url].append(Added{std::move(candidate), lastUsed});
    }

    // Puts each URL's candidates most recently used first; `comesFirst` orders those used at the same time.
    // The sort is stable, so a tie-break that leaves two candidates unordered keeps them as they were added.
    template <typename TieBreak = AddedOrder>
    void finish(const TieBreak comesFirst = {})
    {
        for (auto added = added_.begin(); added != added_.end(); ++added) {
            QList<Added>& ranked = added.value();
            std::stable_sort(ranked.begin(), ranked.end(), [&](const Added& a, const Added& b) {
                return a.lastUsed != b.lastUsed ? a.lastUsed > b.lastUsed : comesFirst(a.candidate, b.candidate);
            });
            QList<Candidate>& candidates = candidatesByUrl_[added.key()];
            candidates.reserve(ranked.size());
            for (Added& candidate : ranked)
                candidates.append(std::move(candidate.candidate));
        }
        added_.clear();
        finished_ = true;
    }

    bool isFinished() const { return finished_; }

    // Forgets what was added: a fill given up on part-way, to be made again from the start.
    void discardAdded() { added_.clear(); }

    // A list of its own, sharing no storage with the index: the caller uses it outside the reader's mutex,
    // and a list shared with the index would be copied or changed in place by whichever thread touched it
    // next (the reader's own dropping candidates under the mutex, the caller's iterating outside it).
    QList<Candidate> candidates(const QString& url) const
    {
        const auto found = candidatesByUrl_.constFind(url);
        return found == candidatesByUrl_.cend() ? QList<Candidate>() : QList<Candidate>(found->cbegin(), found->cend());
    }

    QList<Candidate> take(const QString& url) { return candidatesByUrl_.take(url); }

    // Drops the candidates of `url` for which `isGone` holds, for instance entries found missing on reading.
    template <typename Predicate>
    void removeIf(const QString& url, const Predicate isGone)
    {
        const auto candidates = candidatesByUrl_.find(url);
        if (candidates == candidatesByUrl_.end())
            return;
        candidates->removeIf(isGone);
        if (candidates->isEmpty())
            candidatesByUrl_.erase(candidates);
    }

    // The entry of the first of `candidates` that `read` (a candidate -> std::optional<entry>) still finds
    // holding `url`: the cache's files may have changed since the index was made, so candidates are read
    // again, outside the reader's mutex. Those read in vain are appended to `gone`, for the caller to drop
    // with removeIf under its mutex.
    template <typename Read>
    static auto firstHolding(const QList<Candidate>& candidates, const QString& url, const Read& read,
                             QList<Candidate>& gone)
    {
        decltype(read(candidates.front())) entry;
        for (const Candidate& candidate : candidates) {
            entry = read(candidate);
            if (entry && entry->url == url)
                return entry;
            entry.reset();
            gone.append(candidate);
        }
        return entry;
    }

    // Puts `candidate` first among the candidates of `url`: an entry the browser has just written is the
    // most recently used. An index not finished yet is left alone, since it is filled from the cache as it
    // is then.
    void learn(const QString& url, const Candidate& candidate)
    {
        if (!finished_)
            return;
        QList<Candidate>& candidates = candidatesByUrl_[url];
        candidates.removeAll(candidate);
        candidates.prepend(candidate);
    }

    // Forgets everything: the cache is to be indexed again from the start.
    void clear()
    {
        added_.clear();
        candidatesByUrl_.clear();
        finished_ = false;
    }

    // Drops `candidate` from the candidates of `url`: an entry deleted on its own. An index not finished
    // yet is left alone, since it is filled from the cache as it is then.
    void dropCandidate(const QString& url, const Candidate& candidate)
    {
        if (finished_)
            removeIf(url, [&](const Candidate& held) { return held == candidate; });
    }

private:
    struct Added
    {
        Candidate candidate;
        QDateTime lastUsed;
    };

    // Kept apart from the finished lists so that lookups copy no times along.
    QHash<QString, QList<Added>> added_;
    QHash<QString, QList<Candidate>> candidatesByUrl_;
    bool finished_ = false;
};
