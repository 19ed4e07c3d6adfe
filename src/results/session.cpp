#include "results/session.h"

#include <utility>

namespace quorvane
{

std::string CDataBase::regionSuffix() const
{
    std::lock_guard lock(m_mutex);
    return m_regionSuffix;
}

void CDataBase::setRegionSuffix(std::string suffix)
{
    std::lock_guard lock(m_mutex);
    m_regionSuffix = std::move(suffix);
}

CDataBase::Scores CDataBase::scores() const
{
    std::lock_guard lock(m_mutex);
    return m_scores;
}

void CDataBase::setScores(Scores scores)
{
    std::lock_guard lock(m_mutex);
    m_scores = std::move(scores);
}

} // namespace quorvane
