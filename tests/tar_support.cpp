#include "tests/tar_support.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tarfile {

namespace {

const std::size_t kBlock = 512;
const std::size_t kRecord = 10240;

void Put(std::string &header, std::size_t offset, std::size_t width, const std::string &value) {
    header.replace(offset, std::min(width, value.size()), value.substr(0, width));
}

// An octal field of `width` bytes: digits, then a NUL.
void PutOctal(std::string &header, std::size_t offset, std::size_t width, unsigned long long value) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%0*llo", static_cast<int>(width - 1), value);
    Put(header, offset, width, std::string(digits) + '\0');
}

std::string Padded(const std::string &data) {
    return data + std::string((kBlock - data.size() % kBlock) % kBlock, '\0');
}

}  // namespace

TarMember Dir(const std::string &name, unsigned mode) { return {name, '5', mode, "", "", 0, 0, ""}; }
TarMember File(const std::string &name, const std::string &content, unsigned mode) {
    return {name, '0', mode, content, "", 0, 0, ""};
}
TarMember Symlink(const std::string &name, const std::string &target) { return {name, '2', 0777, "", target, 0, 0, ""}; }
TarMember HardLink(const std::string &name, const std::string &target) { return {name, '1', 0644, "", target, 0, 0, ""}; }
TarMember Device(const std::string &name, char type, unsigned major, unsigned minor) {
    return {name, type, 0666, "", "", major, minor, ""};
}
TarMember Mangled(TarMember member, std::size_t at, const std::string &bytes) {
    member.overwrite = {at, bytes};
    return member;
}
TarMember Launcher(const std::string &script) { return File("./sonaris", script, 0755); }

TarMember PaxHeader(const std::vector<std::pair<std::string, std::string>> &records, char type) {
    std::string content;
    for (const auto &[key, value] : records) {
        // Each record is "LENGTH KEY=VALUE\n", LENGTH counting itself too.
        const std::string body = " " + key + "=" + value + "\n";
        std::size_t length = body.size() + 1;
        while (std::to_string(length).size() + body.size() != length) ++length;
        content += std::to_string(length) + body;
    }
    return {"./PaxHeaders/member", type, 0644, content, "", 0, 0, ""};
}

std::string TarHeader(const TarMember &m) {
    std::string h(kBlock, '\0');
    Put(h, 0, 100, m.name);
    PutOctal(h, 100, 8, m.mode);
    PutOctal(h, 108, 8, 0);
    PutOctal(h, 116, 8, 0);
    PutOctal(h, 124, 12, m.content.size());
    PutOctal(h, 136, 12, 1000000000);
    h[156] = m.type;
    Put(h, 157, 100, m.link);
    if (m.prefix.empty()) {
        Put(h, 257, 8, std::string("ustar  \0", 8));  // GNU
    } else {
        Put(h, 257, 8, std::string("ustar\0" "00", 8));  // POSIX
        Put(h, 345, 155, m.prefix);
    }
    Put(h, 265, 32, "root");
    Put(h, 297, 32, "root");
    PutOctal(h, 329, 8, m.major);
    PutOctal(h, 337, 8, m.minor);
    h.replace(m.overwrite.first, m.overwrite.second.size(), m.overwrite.second);
    // The checksum counts its own field as eight blanks.
    Put(h, 148, 8, "        ");
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    char field[8];
    std::snprintf(field, sizeof field, "%06o", sum);
    Put(h, 148, 8, std::string(field, 6) + '\0' + ' ');
    return h;
}

std::string TarArchive(const std::vector<TarMember> &members) {
    std::string out;
    for (const TarMember &m : members) {
        if (m.name.size() > 100) out += TarHeader({"././@LongLink", 'L', 0644, m.name + '\0', "", 0, 0, ""}) + Padded(m.name + '\0');
        if (m.link.size() > 100) out += TarHeader({"././@LongLink", 'K', 0644, m.link + '\0', "", 0, 0, ""}) + Padded(m.link + '\0');
        out += TarHeader(m) + Padded(m.content);
    }
    out += std::string(2 * kBlock, '\0');
    return out + std::string((kRecord - out.size() % kRecord) % kRecord, '\0');
}

std::string Gunzipped(const std::string &payload) {
    z_stream z{};
    inflateInit2(&z, 16 + MAX_WBITS);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(payload.data()));
    z.avail_in = static_cast<uInt>(payload.size());
    std::string tar;
    std::vector<unsigned char> out(1 << 16);
    for (int r = Z_OK; r == Z_OK;) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        r = inflate(&z, Z_NO_FLUSH);
        tar.append(reinterpret_cast<const char *>(out.data()), out.size() - z.avail_out);
    }
    inflateEnd(&z);
    return tar;
}

}  // namespace tarfile
