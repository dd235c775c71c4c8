// A site published to a scripted FTP server of its own: the fixture of the
// end-to-end tests whose server must answer from a script.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/scripted_ftp.h"
#include "support/site.h"

namespace pub {

// A site on the scripted server, its catalogue table created before each
// test; `tag` starts the table's name.
struct ScriptedSite : testing::Test {
    explicit ScriptedSite(const std::string &tag) : site(tag)
    {
        site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
    }
    void SetUp() override { site.create_table(); }

    // The four lines of a run that logged in to this server.
    std::string header() const { return pub::header(ftp.port()); }

    vt::ScriptedFtp ftp;
    Site site;
};

}  // namespace pub
