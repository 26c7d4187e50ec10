// TJoinPostProcessor finishes the join tree of a FROM clause once the
// statement's table list holds each table's fields: it checks and types
// every column of every ON condition against the tables under its join, and
// turns USING and NATURAL into conditions (`left.c = right.c` per column,
// AND-ed with any ON condition), so that no join runs as a Cartesian product
// by mistake.
//
// Callers must keep:
//  - The table list names every table of the tree (as the FROM parser made
//    it) with its fields; the processor borrows it for one Execute.
//  - Errors are recorded at their token (first one wins), never raised; read
//    them with GetErrorMsg. After an error the tree may be half processed and
//    must not be run.
//  - Execute runs once per parse: a second run would add the USING
//    conditions again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/pre_parser.h"
#include "engine/expr/table_list.h"
#include "engine/query/parse/from_parser.h"

namespace tav {

class TJoinPostProcessor {
 public:
  explicit TJoinPostProcessor(const TTableList& tables) : tables_(tables) {}

  // Every join node under `root` (none for nullptr); true when no error.
  bool Execute(TTavTableRefNode* root);

  bool HasError() const { return !error_msg_.empty(); }
  // The message and, when it has one, its token's place.
  std::string GetErrorMsg() const;
  const std::string& ErrorMsg() const { return error_msg_; }
  const TParserToken* ErrorToken() const { return error_token_; }

 private:
  // A table node under a join and the table-list item it stands for.
  struct TJoinTable {
    const TTavTableRefNode* Node = nullptr;
    const TTableNameItem* Item = nullptr;
  };

  void ProcessJoin(TTavTableRefNode* join, int depth);
  // The table nodes under `node`, left to right.
  void CollectTables(const TTavTableRefNode* node, std::vector<TJoinTable>& out);
  bool CheckOnFields(TTavTableRefNode* join, const std::vector<TJoinTable>& tables);
  void AddUsingConditions(TTavTableRefNode* join, const std::vector<TJoinTable>& left,
                          const std::vector<TJoinTable>& right);
  // `join`'s ON condition AND-ed with left.column = right.column.
  void AddEquality(TTavTableRefNode* join, const TJoinTable& left, const TJoinTable& right,
                   const std::string& column);
  void SetError(const TParserToken* token, std::string_view message);

  const TTableList& tables_;
  std::string error_msg_;
  const TParserToken* error_token_ = nullptr;
};

}  // namespace tav
