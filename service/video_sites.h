#pragma once
// Stand-ins for the six video sites: their pages and the answers of their
// player-information, play-list, file and dispatch services, shaped as the
// sites shaped them (long single-line pages, JSON with escapes, XML play
// lists). Pure functions of the request; the service binds them.
//
// Every stream they hand out ends at `streamBase` + "/video/sample.mp4"
// (youku's file service redirects there).
//
// Pages, under /portal/video/<site>/ on the web project (the id comes from
// the path; a keyword in the path picks the page's form):
//   ku6    ".../NAME.html": vid: 'NAME'; "json/" "vid":"NAME"; "flash/" vid=NAME
//   letv   ".../DIGITS.html": vid:DIGITS, (broken over two lines); "eq/"
//          vid = DIGITS; "xid/" xid: DIGITS; "pcid/" the ids 9DIGITS (gone:
//          its app answer has no address), DIGITS and DIGITS+1
//   youku  ".../id_ID.html" (the resolver needs only the address)
//   tudou  ".../DIGITS/": iid: DIGITS; "albumplay/.../ID.html": vcode: 'ID'
//   sina   ".../DIGITS.html": vid:'DIGITS'
//   sohu   ".../nDIGITS.shtml": var vid = 'DIGITS'; "dq/" var vid="DIGITS";
// Youku video ids starting with "XLONG" list 1000 segments; others 12. Every
// file id has 136 characters.
#include <map>
#include <string>

namespace refsvc
{

struct SiteAnswer {
    int status = 200;
    std::string contentType = "text/plain; charset=UTF-8";
    std::string body;
    std::string location; // a redirect's target
};

class VideoSiteStubs
{
public:
    // streamBase: "http://host:port" of the web project, where the stream
    // lives; serviceBase: of the sites' services; dispatchHost: the bare
    // address of sohu's dispatch service (port 80).
    VideoSiteStubs(std::string streamBase, std::string serviceBase, std::string dispatchHost);

    SiteAnswer page(const std::string& site, const std::string& path) const;
    SiteAnswer ku6Info(const std::string& vid) const;
    SiteAnswer letvApp(const std::string& id) const;
    SiteAnswer letvPlayInfo(const std::string& id) const;
    SiteAnswer youkuPlayList(const std::string& videoId) const;
    // /player/getFlvPath/sid/SID/st/flv/fileid/FILEID?K=KEY: a redirect to
    // the stream when the file id and key belong to a segment, else 404.
    SiteAnswer youkuFile(const std::string& sid, const std::string& fileId, const std::string& key) const;
    SiteAnswer tudouInfo(const std::string& iid) const;
    SiteAnswer sinaInfo(const std::string& vid) const;
    SiteAnswer sohuInfo(const std::string& vid) const;
    SiteAnswer sohuDispatch(const std::map<std::string, std::string>& query) const;

    // The youku tables, as the site computes them; public for the tests.
    static std::string mixAlphabet(int seed);
    static int seedOf(const std::string& videoId);
    static std::string realFileId(const std::string& videoId);
    static std::string segmentKey(const std::string& fileId, int segment);

private:
    std::string stream(const std::string& site, const std::string& id, int part) const;

    std::string m_streamBase, m_serviceBase, m_dispatchHost;
};

} // namespace refsvc
