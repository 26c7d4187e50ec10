# DISTINCT, ORDER BY by name, position and qualified name; MaxRecords.
table T (K integer, S string 10, G string 10)
INSERT INTO T VALUES (1, 'b', 'x')
INSERT INTO T VALUES (2, 'a', 'y')
INSERT INTO T VALUES (3, 'c', 'x')

SELECT DISTINCT G FROM T
= x
= y

SELECT K, S FROM T ORDER BY S
= 2|a
= 1|b
= 3|c

SELECT K, S FROM T ORDER BY 2 DESC
= 3|c
= 1|b
= 2|a

SELECT X.K, X.S FROM T X ORDER BY X.S
= 2|a
= 1|b
= 3|c

SELECT K, S FROM T ORDER BY T.K DESC
= 3|c
= 2|a
= 1|b

SELECT K AS A, K AS A, K AS A FROM T WHERE K = 1
= 1|1|1

SELECT K FROM T ORDER BY NOPE
! The result set field could not be found: NOPE

SELECT K FROM T ORDER BY 3
! The result set field could not be found

maxrecords 2
SELECT K FROM T ORDER BY K
= 1
= 2

SELECT G, COUNT(*) FROM T GROUP BY G
= x|2
= y|1

maxrecords 1
SELECT G, COUNT(*) FROM T GROUP BY G
! Result set limit of 1 has been exceeded
# The limit is the statement's: a subquery's rows are never cut.
SELECT COUNT(*) FROM T WHERE K IN (SELECT K FROM T)
= 3
maxrecords 0

SELECT K FROM T WHERE K = 1 )
! Expression incorrectly terminated

SELECT K FROM NOTABLE
! Table not found - NOTABLE
