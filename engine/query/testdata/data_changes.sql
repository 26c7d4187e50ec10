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
