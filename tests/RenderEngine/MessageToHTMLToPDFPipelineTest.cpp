// Decisions of the render pipeline that need no HTML engine.

#include "RenderEngine/MessageToHTMLToPDF.h"

#include <gtest/gtest.h>

namespace {

TEST(RenderDecisions, LoadCompletionSteps)
{
    using S = MessageToHTMLToPDF::LoadStep;
    struct Row {
        double t;
        qint64 reloads;
        bool resources, engineLoading;
        S expected;
    };
    const Row rows[] = {
        {0.5, 0, false, false, S::NotYet},      {1.0, 0, false, false, S::CheckBody},
        {10, 0, true, false, S::NotYet},        {10, 0, false, true, S::NotYet},
        {25, 0, false, true, S::CheckBody},     // the engine's own loading flag counts only 24 s
        {41, 0, false, false, S::Reload},       {45, 1, false, false, S::NotYet}, // quiet after a reload
        {51, 1, true, false, S::NotYet},        {81, 1, true, false, S::CheckBody}, // resources wait 80 s
        {51, 1, false, false, S::CheckBody},
    };
    for (const Row &r : rows)
        EXPECT_EQ(MessageToHTMLToPDF::loadStepAt(r.t, r.reloads, r.resources, r.engineLoading), r.expected) << r.t;
}

TEST(RenderDecisions, PaginationSwitch)
{
    struct Row {
        QSizeF document;
        bool paginate;
    };
    const Row rows[] = {
        {{1000, 1800}, false}, {{1000, 2200}, true}, {{960, 1000}, true}, {{900, 100}, true}, {{0, 0}, true},
    };
    for (const Row &r : rows)
        EXPECT_EQ(MessageToHTMLToPDF::shouldPaginate(r.document, 960), r.paginate) << r.document.width();
}

TEST(RenderDecisions, FooterEscapesTheHeader)
{
    struct HeaderOnly : MCOAbstractMessage {};
    HeaderOnly m;
    m.header().addHeader("Subject", "<b>bold</b> & \"q\" 'a'");
    MessageToHTMLToPDF on({}), off({{JobKey::tinyHeaders, false}});
    const QString footer = on.footerMiniHeaderText(m);
    EXPECT_TRUE(footer.startsWith("<p style=\"font-size:4px !important; word-wrap: break-word; \">"));
    EXPECT_TRUE(footer.contains("&lt;b&gt;bold&lt;/b&gt; &amp; &quot;q&quot; &#39;a&#39;")) << footer.toStdString();
    EXPECT_TRUE(footer.contains("<br>Tarnwick-Version: "));
    EXPECT_TRUE(off.footerMiniHeaderText(m).isEmpty());
}

} // namespace
