#pragma once
// The engines report from their own threads; a page's widgets may only be
// touched on the page's thread. PostToPage runs `f(page)` there, later.
#include <QMetaObject>

#include <utility>

namespace quorvane
{

template <typename Page, typename F> void PostToPage(Page* page, F f)
{
    QMetaObject::invokeMethod(
        page, [page, f = std::move(f)] { f(page); }, Qt::QueuedConnection);
}

} // namespace quorvane
