// Video site pages and answers come from outside. Whatever a site sends as
// its page and every answer, a resolver makes a bounded number of requests
// and returns a bounded list of non-empty addresses, the first of which it
// returns; unescaping never grows the text and keeps UTF-8 valid.
#include "common/codepage.h"
#include "fuzz/fuzz_support.h"
#include "measure/video_resolvers.h"

#include <cstdint>
#include <string>

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::string unescaped = UnescapeJson(text);
    FUZZ_REQUIRE(unescaped.size() <= text.size());
    if (isValidUtf8(text))
        FUZZ_REQUIRE(isValidUtf8(unescaped));

    VideoSites sites;
    for (VideoSiteHosts* h : {&sites.ku6, &sites.letv, &sites.youku, &sites.tudou, &sites.sina, &sites.sohu})
        h->info = h->app = h->player = h->file = "http://h";
    std::size_t requests = 0;
    VideoResolver resolver(sites, [&](const std::string&) {
        ++requests;
        return text;
    });
    for (const char* page : {"http://p/ku6/1", "http://p/letv/1", "http://p/youku/id_1.h", "http://p/tudou/1",
                             "http://p/tudou/albumplay/1", "http://p/sina/1", "http://p/sina/1#2", "http://p/sohu/1"}) {
        requests = 0;
        const std::string first = resolver.Resolve(SiteLabelOf(page), page);
        FUZZ_REQUIRE(requests <= 1 + 2 * video::kMaxLetvIds);
        FUZZ_REQUIRE(resolver.addresses().size() <= video::kMaxAddresses);
        FUZZ_REQUIRE(first == (resolver.addresses().empty() ? std::string() : resolver.addresses().front()));
        for (const auto& address : resolver.addresses())
            FUZZ_REQUIRE(!address.empty());
    }

    // The youku tables on their own, since a play list rarely reaches them
    // through the resolver.
    FUZZ_REQUIRE(video::YoukuAddresses(text, "http://f", "1").size() <= video::kMaxYoukuSegments);
    FUZZ_REQUIRE(video::YoukuFileId(text, video::YoukuMixAlphabet(static_cast<int>(size))).size() <=
                 video::kMaxYoukuPieces);
    FUZZ_REQUIRE(video::LetvIds(text).size() <= video::kMaxLetvIds);
    return 0;
}
