#include "plan_json.h"

#include <stdio.h>

#include <vector>

#include "groups.h"
#include "plan.h"

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when there is none (overlong forms,
// surrogates and code points above U+10FFFF count as invalid).
size_t Utf8Length(const std::string& text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  size_t n;
  unsigned long cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; k++) {
    const unsigned char cc = static_cast<unsigned char>(text[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return n;
}

std::string Quoted(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); i++) out += (i ? "," : "") + JsonQuote(items[i]);
  return out + "]";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

std::string GroupsJson(Updater* updater) {
  std::string out = "[";
  for (UpdateGroup* g = updater->firstGroup(); g; g = g->next) {
    if (out.size() > 1) out += ",";
    out += "{\"name\":" + JsonQuote(g->name) + ",\"display_name\":" + JsonQuote(g->dispName) +
           ",\"menu\":" + JsonQuote(g->menu) + ",\"description\":" + JsonQuote(g->desc) +
           ",\"state\":" + JsonQuote(GroupStateWord(g->state)) +
           ",\"state_code\":" + std::to_string(g->state) +
           ",\"default_group\":" + Bool(g->isDefault) +
           ",\"priority\":" + std::to_string(g->priority) + "}";
  }
  return out + "]";
}

std::string InstallJson(const Plan& plan, const std::string& base) {
  std::string out = "[";
  for (const PlanInstall& item : plan.installs) {
    const UpdateFile* f = item.file;
    std::vector<std::string> groups;
    for (const UpdateGroup* g : f->groups) groups.push_back(g->name);
    std::string pack = item.downloadPath.compare(0, base.size(), base) == 0
                           ? item.downloadPath.substr(base.size())
                           : item.downloadPath;
    if (out.size() > 1) out += ",";
    out +=
        "{\"file\":" + JsonQuote(f->name) + ",\"size\":" + std::to_string(f->size) +
        ",\"url\":" + JsonQuote(f->url) + ",\"pack\":" + JsonQuote(pack) +
        ",\"downloaded\":" + Bool(item.packPresent) + ",\"same_pack_as\":" +
        (item.sharesPackOf >= 0 ? JsonQuote(plan.installs[item.sharesPackOf].file->name) : "null") +
        ",\"groups\":" + Quoted(groups) + "}";
  }
  return out + "]";
}

std::string ModesJson(const Plan& plan) {
  std::string out = "[";
  for (const PlanModeChange& change : plan.modeChanges) {
    if (out.size() > 1) out += ",";
    out += "{\"file\":" + JsonQuote(change.file->name) +
           ",\"from\":" + std::to_string(change.from) + ",\"to\":" + std::to_string(change.to) +
           "}";
  }
  return out + "]";
}

}  // namespace

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      i++;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out + "\"";
}

std::string PlanJson(Updater* updater, const char* baseDir, const std::string& channelUrl) {
  const Plan plan = updater->plan();
  std::vector<std::string> remove;
  for (const UpdateFile* f : plan.removals) remove.push_back(f->name);
  return "{\"schema\":1,\"channel\":" + JsonQuote(channelUrl) +
         ",\"base_directory\":" + JsonQuote(baseDir) +
         ",\"document_version\":" + std::to_string(updater->infoVersion()) +
         ",\"application\":{\"name\":" + JsonQuote(updater->appName()) +
         ",\"author\":" + JsonQuote(updater->author()) +
         ",\"home\":" + JsonQuote(updater->homeUrl()) + "},\"groups\":" + GroupsJson(updater) +
         ",\"install\":" + InstallJson(plan, baseDir) + ",\"modes\":" + ModesJson(plan) +
         ",\"remove\":" + Quoted(remove) + ",\"delete\":" + Quoted(plan.obsolete) +
         ",\"download\":{\"bytes\":" + std::to_string(plan.downloadBytes) +
         ",\"files\":" + std::to_string(plan.downloads) +
         ",\"already_downloaded\":" + std::to_string(plan.alreadyDownloaded) +
         "},\"rollback_available\":" + Bool(plan.rollbackAvailable) +
         ",\"up_to_date\":" + Bool(plan.empty()) + "}\n";
}
