#include "engine/expr/expr_tree.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using host::Variant;

TParserToken Token(TTavSQLToken kind, const std::string& text) {
  TParserToken t;
  t.Token = kind;
  t.Text = text;
  t.RawTokenText = "  " + text;
  t.LineNo = 2;
  t.LineOffset = 7;
  t.CustomOrdinal = 3;
  return t;
}

std::vector<std::string> Lines(const host::TStringList& list) {
  std::vector<std::string> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(list.Strings(i));
  return out;
}

std::vector<std::string> Dump(const TTavExpr& expr) {
  host::TStringList lines;
  expr.Display(lines);
  return Lines(lines);
}

bool RaisesAssertion(const std::function<void()>& f) {
  try {
    f();
  } catch (const host::EAssertionFailed&) {
    return true;
  }
  return false;
}

// A = 1 AND UPPER(B || 'x') = :P, as the expression parser would build it.
struct SampleTree {
  SampleTree() {
    const TParserToken a = Token(tstFieldName, "A"), one = Token(tstNumber, "1"),
                       eq = Token(tstCompOperator, "="), andTok = Token(tstAnd, "AND"),
                       b = Token(tstFieldName, "B"), x = Token(tstStringLiteral, "x"),
                       cat = Token(tstConcatenate, "||"), upper = Token(tstStrFunc, "UPPER"),
                       param = Token(tstParameter, "P");
    TTavExprNode* fa = expr.NewFieldNode(enkField, teoFIELD2, Variant("A"), nullptr, nullptr, &a,
                                         host::ftInteger, 4);
    TTavExprNode* c1 = expr.NewNode(enkConst, teoCONST2, Variant(1.0), nullptr, nullptr, &one);
    c1->SetAndConvertDataType(host::ftFloat);
    TTavExprNode* left = expr.NewNode(enkRelOperator, teoEQ, Variant(), fa, c1, &eq);
    TTavExprNode* fb = expr.NewFieldNode(enkField, teoFIELD2, Variant("B"), nullptr, nullptr, &b,
                                         host::ftString, 10);
    TTavExprNode* cx = expr.NewNode(enkConst, teoCONST2, Variant("x"), nullptr, nullptr, &x);
    cx->SetAndConvertDataType(host::ftString);
    TTavExprNode* concat = expr.NewNode(enkArithOperator, teoADD, Variant(), fb, cx, &cat);
    func = expr.NewNode(enkFunc, teoUPPER, Variant(), nullptr, nullptr, &upper);
    func->Args.push_back(concat);
    TTavExprNode* p = expr.NewNode(enkParam, teoPARAMETER, Variant("P"), nullptr, nullptr, &param);
    TTavExprNode* right = expr.NewNode(enkRelOperator, teoEQ, Variant(), func, p, &eq);
    root = expr.NewNode(enkLogicalOperator, teoAND, Variant(), left, right, &andTok);
  }
  TTavExpr expr;
  TTavExprNode* func = nullptr;
  TTavExprNode* root = nullptr;
};

TEST(ExprTreeTest, NewNodeTakesTheExpressionsFlagsAndACopyOfTheToken) {
  TTavExpr expr;
  expr.SetCaseInsensitiveMatch(true);
  expr.SetPartialStringComparisons(true);
  const TParserToken tok = Token(tstFieldName, "NAME");
  TTavExprNode* n = expr.NewNode(enkField, teoFIELD2, Variant("NAME"), nullptr, nullptr, &tok);
  ASSERT_NE(n, nullptr);
  EXPECT_TRUE(n->CaseInsensitiveMatch);
  EXPECT_TRUE(n->PartialMatch);
  EXPECT_EQ(n->PartialLength, -1);
  EXPECT_EQ(n->DataType, host::ftUnknown);
  EXPECT_EQ(n->DataSize, -1);
  EXPECT_EQ(n->ParserToken.Text, "NAME");
  EXPECT_EQ(n->ParserToken.Token, tstFieldName);
  EXPECT_EQ(n->ParserToken.LineNo, 2);
  EXPECT_EQ(n->ParserToken.LineOffset, 7);
  EXPECT_EQ(n->ParserToken.CustomOrdinal, 3);
  EXPECT_EQ(n->ParserToken.RawTokenText, "");  // the raw text stays with the pre-parser
  EXPECT_EQ(expr.Root(), n);

  TTavExprNode* f = expr.NewFieldNode(enkField, teoFIELD2, Variant("X"), nullptr, nullptr, nullptr,
                                      host::ftString, 20);
  EXPECT_EQ(f->DataType, host::ftString);
  EXPECT_EQ(f->DataSize, 20);
  EXPECT_EQ(f->ParserToken.Token, tstUnknown);
  EXPECT_EQ(expr.Root(), f);
  EXPECT_EQ(f->Next(), n);

  // After an error nothing more is built.
  expr.SetErrorMsg("Invalid token");
  EXPECT_EQ(expr.NewNode(enkConst, teoCONST2, Variant(1), nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(expr.NewFieldNode(enkField, teoFIELD2, Variant("Y"), nullptr, nullptr, nullptr,
                              host::ftString, 5),
            nullptr);
  EXPECT_EQ(expr.GetNodeCount(), 2);
  expr.Clear();
  EXPECT_EQ(expr.GetNodeCount(), 0);
  EXPECT_EQ(expr.Root(), nullptr);
  EXPECT_TRUE(Dump(expr).empty());
}

TEST(ExprTreeTest, DumpShowsTheTreeInOrderWithArguments) {
  SampleTree t;
  const std::vector<std::string> expected = {
      "  enField:coFIELD2 :: tstFieldName  -  A :: Integer - 4",
      " enkRelOperator:coEQ :: tstCompOperator  -  = :: Unknown - -1",
      "  enConst:coCONST2 :: tstNumber  -  1 :: Float - -1",
      "enkLogicalOperator:coAND :: tstAnd  -  AND :: Unknown - -1",
      "  enkFunc:coUPPER :: tstStrFunc  -  UPPER :: Unknown - -1",
      "    Start Args",
      "    **  enField:coFIELD2 :: tstFieldName  -  B :: String - 10",
      "    ** enkArithOperator:coADD :: tstConcatenate  -  || :: Unknown - -1",
      "    **  enConst:coCONST2 :: tstStringLiteral  -  x :: String - 1",
      "    End Args",
      " enkRelOperator:coEQ :: tstCompOperator  -  = :: Unknown - -1",
      "  enkParam:teoPARAMETER :: tstParameter  -  P :: Unknown - -1",
  };
  EXPECT_EQ(Dump(t.expr), expected);
}

TEST(ExprTreeTest, NamesCoverEveryValue) {
  EXPECT_EQ(SQLTokenName(tstUnknown), "tstUnknown");
  EXPECT_EQ(SQLTokenName(tstCurrentTimestamp), "tstCurrentTimestamp");
  EXPECT_EQ(SQLTokenName(tstTemporary), "tstTemporary");
  EXPECT_EQ(SQLTokenName(static_cast<TTavSQLToken>(200)), "");
  EXPECT_EQ(ExprNodeKindName(enkUnknown), "enkUnknown");
  EXPECT_EQ(ExprNodeKindName(enkSubquery), "enkSubquery");
  EXPECT_EQ(ExprOperatorName(teoNOTDEFINED), "coNOTDEFINED");
  EXPECT_EQ(ExprOperatorName(teoASSIGN), "coASSIGN");
  EXPECT_EQ(ExprOperatorName(teoSUBQUERY), "teoSUBQUERY");
  EXPECT_EQ(ExprOperatorName(teoOUTERFIELD), "teoOUTERFIELD");
  EXPECT_EQ(ExprOperatorName(static_cast<TTavExprOperator>(41)), "");
}

TEST(ExprTreeTest, CloneFromTreeCopiesEveryNodeAndMakesTheCopyTheRoot) {
  SampleTree t;
  TTavExpr target;
  target.NewNode(enkConst, teoCONST2, Variant(7), nullptr, nullptr, nullptr);
  TTavExprNode* copy = target.CloneFromTree(t.root);
  EXPECT_EQ(target.GetNodeCount(), 1 + t.expr.GetNodeCount());
  EXPECT_EQ(target.Root(), copy);
  EXPECT_TRUE(copy->AreNodesEquivalent(t.root));
  EXPECT_EQ(Dump(target), Dump(t.expr));

  // A three-node tree adds three nodes.
  TTavExpr small;
  TTavExprNode* a = small.NewNode(enkField, teoFIELD2, Variant("A"), nullptr, nullptr, nullptr);
  TTavExprNode* b = small.NewNode(enkConst, teoCONST2, Variant(2), nullptr, nullptr, nullptr);
  TTavExprNode* r = small.NewNode(enkRelOperator, teoGT, Variant(), a, b, nullptr);
  const int before = target.GetNodeCount();
  TTavExprNode* c = target.CloneFromTree(r);
  EXPECT_EQ(target.GetNodeCount(), before + 3);
  EXPECT_EQ(target.Root(), c);
  EXPECT_NE(c->Left, a);
  EXPECT_NE(c->Right, b);
  EXPECT_EQ(target.CloneSubTree(nullptr), nullptr);
  EXPECT_EQ(target.GetNodeCount(), before + 3);
}

// Every node reachable from `root` belongs to `expr`'s node list.
void ExpectOwnedBy(const TTavExpr& expr, const TTavExprNode* root) {
  if (root == nullptr) return;
  bool found = false;
  for (const TTavExprNode* n = expr.Root(); n != nullptr && !found; n = n->Next())
    found = n == root;
  EXPECT_TRUE(found) << root->ParserToken.Text;
  ExpectOwnedBy(expr, root->Left);
  ExpectOwnedBy(expr, root->Right);
  for (const TTavExprNode* arg : root->Args) ExpectOwnedBy(expr, arg);
}

TEST(ExprTreeTest, DeepCloneSurvivesTheSourceBeingFreed) {
  TTavExpr target;
  std::vector<std::string> before;
  TTavExprNode* copy = nullptr;
  TTavExprNode* funcCopy = nullptr;
  {
    auto source = std::make_unique<SampleTree>();
    copy = target.CloneFromTree(source->root);
    // CloneNode, as BETWEEN copies its operand: the arguments' own children
    // are copied too.
    funcCopy = source->func->CloneNode(target);
    EXPECT_EQ(funcCopy->Left, source->func->Left);  // children stay references
    before = Dump(target);
  }
  // The source is gone: walking, dumping and comparing the copies reads only
  // the target's nodes (AddressSanitizer would catch anything else).
  ExpectOwnedBy(target, copy);
  for (const TTavExprNode* arg : funcCopy->Args) ExpectOwnedBy(target, arg);
  EXPECT_EQ(Dump(target), before);
  EXPECT_TRUE(copy->Right->Left->AreNodesEquivalent(funcCopy));
  EXPECT_EQ(funcCopy->Args[0]->Left->Data.StrRef(), "B");
}

TEST(ExprTreeTest, SetAsFirstNodeMovesOnlyNodesOfTheList) {
  TTavExpr expr, other;
  TTavExprNode* a = expr.NewNode(enkConst, teoCONST2, Variant(1), nullptr, nullptr, nullptr);
  TTavExprNode* b = expr.NewNode(enkConst, teoCONST2, Variant(2), nullptr, nullptr, nullptr);
  TTavExprNode* c = expr.NewNode(enkConst, teoCONST2, Variant(3), nullptr, nullptr, nullptr);
  TTavExprNode* foreign = other.NewNode(enkConst, teoCONST2, Variant(4), nullptr, nullptr, nullptr);
  auto order = [&expr] {
    std::vector<int> v;
    for (const TTavExprNode* n = expr.Root(); n != nullptr; n = n->Next())
      v.push_back(n->Data.AsInteger());
    return v;
  };
  EXPECT_EQ(order(), (std::vector<int>{3, 2, 1}));
  expr.SetAsFirstNode(foreign);
  expr.SetAsFirstNode(nullptr);
  expr.SetAsFirstNode(c);
  EXPECT_EQ(order(), (std::vector<int>{3, 2, 1}));
  expr.SetAsFirstNode(a);
  EXPECT_EQ(order(), (std::vector<int>{1, 3, 2}));
  expr.SetAsFirstNode(b);
  EXPECT_EQ(order(), (std::vector<int>{2, 1, 3}));
  EXPECT_EQ(expr.GetNodeCount(), 3);
  EXPECT_EQ(other.Root(), foreign);
  EXPECT_EQ(foreign->Next(), nullptr);
}

TEST(ExprTreeTest, FindsAndResetsNodesByToken) {
  SampleTree t;
  EXPECT_TRUE(t.expr.ExprContainsToken(tstParameter));
  EXPECT_FALSE(t.expr.ExprContainsToken(tstSelect));
  EXPECT_EQ(t.expr.FindNodeWithToken(tstSelect), nullptr);
  // The first from the head: the newest of the two comparison nodes.
  EXPECT_EQ(t.expr.FindNodeWithToken(tstCompOperator), t.root->Right);

  // A second parameter, then both become constants.
  const TParserToken q = Token(tstParameter, "Q");
  t.expr.NewNode(enkParam, teoPARAMETER, Variant("Q"), nullptr, nullptr, &q);
  t.expr.SetAsFirstNode(t.root);
  t.expr.ResetSpecifiedNodes(tstParameter, tstValue, enkConst, teoCONST2, Variant(42));
  EXPECT_FALSE(t.expr.ExprContainsToken(tstParameter));
  int constants = 0;
  for (const TTavExprNode* n = t.expr.Root(); n != nullptr; n = n->Next()) {
    if (n->ParserToken.Token != tstValue) continue;
    ++constants;
    EXPECT_EQ(n->Kind, enkConst);
    EXPECT_EQ(n->Operator, teoCONST2);
    EXPECT_EQ(n->Data.AsInteger(), 42);
  }
  EXPECT_EQ(constants, 2);
  EXPECT_EQ(t.root->Right->Right->Data.AsInteger(), 42);
  // The same kind twice would never end the search.
  EXPECT_TRUE(RaisesAssertion(
      [&] { t.expr.ResetSpecifiedNodes(tstValue, tstValue, enkConst, teoCONST2, Variant(1)); }));
}

TEST(ExprTreeTest, EquivalenceComparesTheNodeAndItsArgumentsButNotItsChildren) {
  SampleTree a, b;
  EXPECT_TRUE(a.root->AreNodesEquivalent(b.root));
  EXPECT_FALSE(a.root->AreNodesEquivalent(nullptr));
  // Children are not compared.
  b.root->Left = nullptr;
  EXPECT_TRUE(a.root->AreNodesEquivalent(b.root));
  EXPECT_TRUE(a.func->AreNodesEquivalent(b.func));

  // Each compared field, changed on a copy, breaks the equivalence.
  const std::vector<std::function<void(TTavExprNode&)>> changes = {
      [](TTavExprNode& n) { n.DataSize = 5; },
      [](TTavExprNode& n) { n.Operator = teoLOWER; },
      [](TTavExprNode& n) { n.Kind = enkConst; },
      [](TTavExprNode& n) { n.ScopeKind = tskAgg; },
      [](TTavExprNode& n) { n.DataType = host::ftString; },
      [](TTavExprNode& n) { n.ParserToken.Token = tstFunc; },
      [](TTavExprNode& n) { n.Data = Variant(0); },        // another variant type
      [](TTavExprNode& n) { n.Data = Variant("UPPER"); },  // another value
      [](TTavExprNode& n) { n.CaseInsensitiveMatch = true; },
      [](TTavExprNode& n) { n.PartialMatch = true; },
      [](TTavExprNode& n) { n.PartialLength = 3; },
      [](TTavExprNode& n) { n.TableList.Add()->SetTableName("T"); },
      [](TTavExprNode& n) { n.TokenArgs.push_back(nullptr); },
      [](TTavExprNode& n) { n.Args.pop_back(); },
      [](TTavExprNode& n) { n.Args[0]->Operator = teoSUB; },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    SampleTree c;
    changes[i](*c.func);
    EXPECT_FALSE(a.func->AreNodesEquivalent(c.func)) << "change " << i;
  }

  // As for the node itself, an argument's children are not compared.
  SampleTree c;
  c.func->Args[0]->Left->Data = Variant("C");
  EXPECT_TRUE(a.func->AreNodesEquivalent(c.func));

  // Table names compare exactly, position by position; token arguments by kind.
  SampleTree d, e;
  d.func->TableList.Add()->SetTableName("Orders");
  e.func->TableList.Add()->SetTableName("ORDERS");
  EXPECT_FALSE(d.func->AreNodesEquivalent(e.func));
  e.func->TableList.Items(0)->SetTableName("Orders");
  e.func->TableList.Items(0)->SetCorrelationName("o");  // not compared
  EXPECT_TRUE(d.func->AreNodesEquivalent(e.func));
  TParserToken t1 = Token(tstTableName, "Orders"), t2 = Token(tstTableName, "Other");
  d.func->TokenArgs.push_back(&t1);
  e.func->TokenArgs.push_back(&t2);
  EXPECT_TRUE(d.func->AreNodesEquivalent(e.func));
  t2.Token = tstTableAlias;
  EXPECT_FALSE(d.func->AreNodesEquivalent(e.func));
}

TEST(ExprTreeTest, AssignNodeCopiesFieldsButNeverTheListLink) {
  SampleTree s;
  TTavExpr target;
  TTavExprNode* first = target.NewNode(enkConst, teoCONST2, Variant(1), nullptr, nullptr, nullptr);
  TTavExprNode* node = target.NewNode(enkConst, teoCONST2, Variant(2), nullptr, nullptr, nullptr);
  TCustomExprNodeDataProvider provider;
  s.func->ExprNodeDataProvider = &provider;
  s.func->TableList.Add()->SetTableName("T");
  node->AssignNode(*s.func);
  EXPECT_EQ(node->Next(), first);  // still this expression's list
  EXPECT_EQ(target.GetNodeCount(), 2);
  EXPECT_TRUE(node->Args.empty());  // Args are not copied
  EXPECT_EQ(node->Operator, teoUPPER);
  EXPECT_EQ(node->ParserToken.Text, "UPPER");
  EXPECT_EQ(node->ExprNodeDataProvider, &provider);
  ASSERT_EQ(node->TableList.Count(), 1);
  EXPECT_EQ(node->TableList.Items(0)->TableName(), "T");
  node->AssignNode(*node);
  EXPECT_EQ(node->Operator, teoUPPER);
  EXPECT_FALSE(provider.PrepareAndOpen());
  EXPECT_EQ(provider.ProviderDataset, nullptr);
}

TEST(ExprTreeTest, SetAndConvertDataTypeConvertsTheValue) {
  const struct {
    Variant in;
    host::TFieldType type;
    host::TVarType outType;
    int32_t dataSize;
  } cases[] = {
      {Variant("abc"), host::ftString, host::varString, 3},
      {Variant(12), host::ftString, host::varString, 2},
      {Variant("12"), host::ftSmallint, host::varInteger, -1},
      {Variant(2.5), host::ftInteger, host::varInteger, -1},
      {Variant(1), host::ftBoolean, host::varBoolean, -1},
      {Variant("1.25"), host::ftFloat, host::varDouble, -1},
      {Variant(3), host::ftCurrency, host::varCurrency, -1},
      {Variant("2004-01-31"), host::ftDate, host::varDate, -1},
      {Variant(38017.5), host::ftDateTime, host::varDate, -1},
      {Variant("abc"), host::ftBlob, host::varString, -1},  // left as it is
      {host::Null(), host::ftString, host::varNull, -1},
  };
  for (const auto& c : cases) {
    TTavExpr expr;
    TTavExprNode* n = expr.NewNode(enkConst, teoCONST2, c.in, nullptr, nullptr, nullptr);
    n->SetAndConvertDataType(c.type);
    EXPECT_EQ(n->DataType, c.type);
    EXPECT_EQ(n->Data.VType(), c.outType) << host::FieldTypeName(c.type);
    EXPECT_EQ(n->DataSize, c.dataSize) << host::FieldTypeName(c.type);
  }
  TTavExpr expr;
  TTavExprNode* n = expr.NewNode(enkConst, teoCONST2, Variant("2.5"), nullptr, nullptr, nullptr);
  n->SetAndConvertDataType(host::ftInteger);
  EXPECT_EQ(n->Data.AsInteger(), 2);  // halves to even
}

// A chain of `depth` nodes, each the left child of the next.
TTavExprNode* Chain(TTavExpr& expr, int depth, bool asArgs) {
  TTavExprNode* node = expr.NewNode(enkConst, teoCONST2, Variant(0), nullptr, nullptr, nullptr);
  for (int i = 1; i < depth; ++i) {
    TTavExprNode* parent = expr.NewNode(enkArithOperator, teoADD, Variant(),
                                        asArgs ? nullptr : node, nullptr, nullptr);
    if (asArgs) parent->Args.push_back(node);
    node = parent;
  }
  return node;
}

TEST(ExprTreeTest, WalksStopAtTheDepthLimitInsteadOfOverflowingTheStack) {
  for (bool asArgs : {false, true}) {
    TTavExpr deepest, tooDeep;
    TTavExprNode* ok = Chain(deepest, MaxExprTreeDepth, asArgs);
    TTavExprNode* bad = Chain(tooDeep, MaxExprTreeDepth + 1, asArgs);
    TTavExpr copies;
    TTavExprNode* copy = copies.CloneFromTree(ok);
    EXPECT_EQ(copies.GetNodeCount(), MaxExprTreeDepth);
    EXPECT_TRUE(copy->AreNodesEquivalent(ok));
    host::TStringList lines;
    TTavExprNode::DisplayExprTree("", ok, lines);
    EXPECT_EQ(lines.Count(), asArgs ? 3 * MaxExprTreeDepth - 2 : MaxExprTreeDepth);

    EXPECT_TRUE(RaisesAssertion([&] { copies.CloneSubTree(bad); }));
    EXPECT_TRUE(RaisesAssertion([&] { tooDeep.Display(lines); }));
    if (asArgs) {
      EXPECT_TRUE(RaisesAssertion([&] { bad->AreNodesEquivalent(bad); }));
    }
  }
  // A cycle, which no parser builds but a rewrite gone wrong could, is caught
  // the same way; the nodes made before the check stay owned.
  TTavExpr cyclic, target;
  TTavExprNode* n = cyclic.NewNode(enkFunc, teoUPPER, Variant(), nullptr, nullptr, nullptr);
  n->Left = n;
  n->Args.push_back(n);
  EXPECT_TRUE(RaisesAssertion([&] { target.CloneSubTree(n); }));
  EXPECT_TRUE(RaisesAssertion([&] { n->AreNodesEquivalent(n); }));
  host::TStringList lines;
  EXPECT_TRUE(RaisesAssertion([&] { cyclic.Display(lines); }));
  EXPECT_GT(target.GetNodeCount(), 0);
}

}  // namespace
}  // namespace tav
