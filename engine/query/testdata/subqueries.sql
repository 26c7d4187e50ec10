# IN, EXISTS, scalar, ANY/ALL and correlated subqueries.
table T (K integer, G string 10, V integer)
table U (K integer, W integer)
INSERT INTO T VALUES (1, 'x', 10)
INSERT INTO T VALUES (2, 'y', 20)
INSERT INTO T VALUES (3, 'x', 30)
INSERT INTO T VALUES (4, NULL, NULL)
INSERT INTO U VALUES (1, 100)
INSERT INTO U VALUES (3, 300)
INSERT INTO U VALUES (3, 301)

SELECT K FROM T WHERE K IN (SELECT K FROM U)
= 1
= 3

SELECT K FROM T WHERE K NOT IN (SELECT K FROM U)
= 2
= 4

SELECT K FROM T WHERE EXISTS (SELECT * FROM U WHERE U.K = T.K)
= 1
= 3

SELECT K FROM T WHERE NOT EXISTS (SELECT * FROM U WHERE U.K = T.K)
= 2
= 4

# Correlated scalar subquery as a comparison operand.
SELECT K FROM T WHERE V * 10 = (SELECT MIN(W) FROM U WHERE U.K = T.K)
= 1
= 3

SELECT K FROM T WHERE V = (SELECT MAX(V) FROM T)
= 3

SELECT K FROM T WHERE V = (SELECT MAX(V) FROM T WHERE K > 3)
= (none)

SELECT K FROM T WHERE V = (SELECT MAX(V) FROM T WHERE K < 4)
= 3

# A scalar subquery that yields two rows (9650) or two columns (9656).
SELECT K FROM T WHERE V = (SELECT W FROM U WHERE K = 3)
! 9650

SELECT K FROM T WHERE V = (SELECT K, W FROM U WHERE K = 1)
! 9656

SELECT K FROM T WHERE V > ANY (SELECT V FROM T WHERE G = 'x')
= 2
= 3

SELECT K FROM T WHERE V >= ALL (SELECT V FROM T WHERE G = 'x')
= 3

SELECT K FROM T WHERE V > ALL (SELECT W FROM U WHERE K = 99)
= 1
= 2
= 3
= 4

# A correlated condition beside one that the table's filter answers.
SELECT K FROM T WHERE G = 'x' AND EXISTS (SELECT * FROM U WHERE U.K = T.K AND U.W > 200)
= 3

# Two levels: the inner subquery reads the outermost row.
SELECT K FROM T WHERE EXISTS (SELECT * FROM U WHERE U.K = 3 AND EXISTS (SELECT * FROM U U2 WHERE U2.K = T.K))
= 1
= 3

# Correlated subquery under a join.
SELECT T.K, U.W FROM T JOIN U ON T.K = U.K WHERE U.W = (SELECT MAX(W) FROM U X WHERE X.K = T.K)
= 1|100
= 3|301
