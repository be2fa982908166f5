// UserNode.h - one record of the server's user list (searched by `sid` and `password`).
// Nothing in the server fills the list; the class exists so the keywords have their target.
#pragma once

#include <string>

#include "server/Node.h"

class CUserNode : public CNode {
  public:
    std::string m_password;
    std::string m_field1, m_field2, m_field3;
    int m_sequence = 0;
};
