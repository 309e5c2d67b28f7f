#pragma once

#include <string>
#include <vector>

// Hands a message to the user's own mail program: a new mail in its compose window, with the
// subject, the text and one attachment, addressed by the user.
class EmailClient {
public:
    EmailClient();
    ~EmailClient();
    EmailClient(const EmailClient&) = delete;
    EmailClient& operator=(const EmailClient&) = delete;

    // False when the desktop's mail hand-off (xdg-email) is not installed.
    bool isAvailable() const { return !xdgEmailPath.empty(); }

    // 0 when the mail program has taken the message; otherwise the hand-off's failure code.
    unsigned sendMail(const std::string& subject, const std::string& noteText,
                      const std::string& attachmentPath);

    static std::vector<std::string> makeArguments(const std::string& subject,
                                                  const std::string& noteText,
                                                  const std::string& attachmentPath);

private:
    std::string xdgEmailPath;
};
