#pragma once

// multipart/form-data bodies as the companion app uploads them: the fields by name, and the part named "file"
// written straight to disk. The body is read in place, line by line; the parts' bytes are rebuilt from the
// lines, so that CR, LF and CR LF inside a part come out unchanged and only the CR LF before the next
// delimiter is dropped.

#include <map>
#include <memory>
#include <string>
#include <string_view>

// Parameters of a content type, headers of one part, or the resulting fields. One value per key, the first
// one.
using FormFields = std::map<std::string, std::string>;

namespace Constants {
// What the parser keeps of a line of a part's headers, and of a part that is not a file: the app's fields are
// a few bytes, and a body streams from the network, so neither may cost its size.
constexpr size_t FORM_MAX_LINE = 64 * 1024;
constexpr size_t FORM_MAX_FIELD = 64 * 1024;
} // namespace Constants

namespace Multipart {

// Adds the "key=value" pieces of one header line, cut at every ";", to fields; a piece without "=" is a key
// with an empty value. Quotes and white space around keys and values are dropped; a key already present keeps
// its value.
void splitHeaderLine(FormFields& fields, std::string_view line);

// False (and nothing else happens) when contentType is not multipart/form-data with a boundary. Otherwise
// true, whatever the body holds: fields gets one entry per named part that a delimiter closes, the parts
// named "file" are written, in order, to filePath, and their field holds filePath. A file that cannot be
// opened loses its content silently; the caller notices when it looks for the file.
bool parseFormData(std::string_view contentType, std::string_view body, FormFields& fields,
                   char const* filePath);

class FileSink;

// The same parsing over a body that arrives in pieces split anywhere: the fields and the file come out the
// same whatever the split, and the file part is written as it arrives, never held whole.
class FormParser {
public:
    FormParser();
    ~FormParser();
    FormParser(FormParser const&) = delete;
    FormParser& operator=(FormParser const&) = delete;

    // False (and the parser takes nothing) when contentType is not multipart/form-data with a boundary.
    bool start(std::string_view contentType, char const* filePath);
    void feed(std::string_view bytes);
    void finish(); // the end of the body; closes the file
    // errno of the first failure to open, write or close the file; 0 when there was none (or no file part).
    int writeError() const;
    bool fileOpened() const; // a file part began, so the file was (or was tried to be) created

    FormFields fields;

private:
    void partialLine(std::string_view bytes); // bytes of the line that has not ended yet
    void endLine();
    void takeLine(std::string_view line); // a whole line that is not yet known to be data
    void dataLineEnd(std::string_view rest);
    void emit(std::string_view bytes);

    std::string mDelimiter;
    std::string mFilePath;
    std::unique_ptr<FileSink> mFile;
    FormFields mHeaders;          // of the part being read
    std::string mData;            // the part's value, or the file's path for the file part
    std::string mLine;            // the line so far, while it may still be a delimiter or is a header line
    bool mInHeaders = false;      // between a delimiter and the blank line after the part's headers
    bool mInData = false;         // the current line is known to be data and goes out as it comes
    bool mPendingLineEnd = false; // the last data line ended in CR LF, which belongs to the data unless a
                                  // delimiter follows
    bool mToFile = false;         // the part is the file
};

} // namespace Multipart
