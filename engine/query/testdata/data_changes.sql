# INSERT (both forms), UPDATE and DELETE.
table T (K integer, S string 10, N integer)
index byK unique K
table C (K integer, S string 10, N integer)

INSERT INTO T VALUES (1, 'a', 10)
INSERT INTO T VALUES (2, 'b', 20)
INSERT INTO T (K, S) VALUES (3, 'c')
INSERT INTO T (K, S, N) VALUES (4)
! Number of insert columns does not match number of insert values
INSERT INTO T (K) VALUES (4)
affected 1
SELECT K, S, N FROM T WHERE K >= 3
= 3|c|NULL
= 4|NULL|NULL

INSERT INTO C SELECT K, S, N FROM T WHERE K < 3
affected 2
INSERT INTO C (K, S) SELECT K + 10, S FROM T WHERE K = 1
SELECT K, S, N FROM C
= 1|a|10
= 2|b|20
= 11|a|NULL

UPDATE T SET N = N + 1 WHERE K <= 2
affected 2
SELECT K, N FROM T WHERE K <= 2
= 1|11
= 2|21

# Every value reads the row as stored: two columns swap.
UPDATE C SET K = N, N = K WHERE K = 1
SELECT K, N FROM C WHERE N = 1
= 10|1

DELETE FROM C WHERE K > 10
affected 1
DELETE FROM C
affected 2
SELECT K FROM C
= (none)

# WHERE on constants only: the tables cannot answer it.
UPDATE T SET S = 'z' WHERE 1 = 1
affected 4
DELETE FROM T WHERE 1 = 0
affected 0

# A key-shifting UPDATE without WHERE changes each row once.
UPDATE T SET K = K + 10
affected 4
SELECT K FROM T ORDER BY K
= 11
= 12
= 13
= 14

UPDATE T SET NOPE = 1
! NOPE

# Unique keys hold for the statement's end state: a new key that a row not
# yet changed still holds is no violation.
table Q (K integer, S string 10)
index byK unique K
INSERT INTO Q VALUES (1, 'a')
INSERT INTO Q VALUES (2, 'b')
INSERT INTO Q VALUES (3, 'c')
UPDATE Q SET K = K + 1
affected 3
SELECT K, S FROM Q ORDER BY K
= 2|a
= 3|b
= 4|c
UPDATE Q SET K = K - 1 WHERE K > 2
! 9729
# A real violation changes nothing: the rows changed before it are restored.
SELECT K, S FROM Q ORDER BY K
= 2|a
= 3|b
= 4|c
UPDATE Q SET K = K - 1
affected 3
SELECT K, S FROM Q ORDER BY K
= 1|a
= 2|b
= 3|c
UPDATE Q SET S = 'z', K = 7 WHERE K <> 2
! 9729
SELECT K, S FROM Q ORDER BY K
= 1|a
= 2|b
= 3|c

# WHERE clauses the target's filter cannot answer, and SET values read
# through subqueries.
table P (K integer, V integer)
table R (K integer, W integer)
INSERT INTO P VALUES (1, 10)
INSERT INTO P VALUES (2, 20)
INSERT INTO P VALUES (3, 30)
INSERT INTO R VALUES (1, 100)
INSERT INTO R VALUES (3, 300)
UPDATE P SET V = V + 1 WHERE EXISTS (SELECT * FROM R WHERE R.K = P.K)
affected 2
SELECT K, V FROM P
= 1|11
= 2|20
= 3|31
# An aggregate over no rows gives 0.
UPDATE P SET V = (SELECT MAX(W) FROM R WHERE R.K = P.K)
affected 3
SELECT K, V FROM P
= 1|100
= 2|0
= 3|300
UPDATE P SET V = (SELECT MAX(W) FROM R) WHERE K = 2
SELECT K, V FROM P WHERE K = 2
= 2|300
DELETE FROM P WHERE K IN (SELECT K FROM R WHERE W > 200) OR V IS NULL
affected 1
DELETE FROM P WHERE NOT EXISTS (SELECT * FROM R WHERE R.K = P.K)
affected 1
SELECT K, V FROM P
= 1|100
INSERT INTO P SELECT K + 10, W FROM R WHERE W > (SELECT MIN(V) FROM P)
affected 1
SELECT K, V FROM P
= 1|100
= 13|300
