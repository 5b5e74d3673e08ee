-- The update database on SQL Server: the catalogs 會員資料 (member data; the launcher only
-- connects to it and asks for the server's date) and 軟體版本 (software versions, table
-- pcvelka), and the login the launcher uses.
--
-- Run it as an administrator with sqlcmd, which must read the file as UTF-8:
--     sqlcmd -S HOST -U sa -f 65001 -i tools/db_seed_sqlserver.sql
-- Replace the login name and password below with the values of server.ini ([Database] User,
-- Password: 7 and 8 lower-case letters) and the sample rows with the real versions. One row per
-- product line ("fen" = device type 1, "tarn" = device type 5) and version: the version that
-- follows it, and the file (in the FTP folder /tarn) that installs the row's own version with
-- its size in bytes. The last version of a line names itself as its successor.

USE master;
GO
IF NOT EXISTS (SELECT 1 FROM sys.server_principals WHERE name = N'velkadb')
    CREATE LOGIN velkadb WITH PASSWORD = N'velkapwd', CHECK_POLICY = OFF;
GO
IF DB_ID(N'會員資料') IS NULL
    CREATE DATABASE [會員資料];
GO
IF DB_ID(N'軟體版本') IS NULL
    CREATE DATABASE [軟體版本];
GO

USE [會員資料];
GO
IF NOT EXISTS (SELECT 1 FROM sys.database_principals WHERE name = N'velkadb')
    CREATE USER velkadb FOR LOGIN velkadb;
GO

USE [軟體版本];
GO
IF NOT EXISTS (SELECT 1 FROM sys.database_principals WHERE name = N'velkadb')
    CREATE USER velkadb FOR LOGIN velkadb;
GO
IF OBJECT_ID(N'dbo.pcvelka', N'U') IS NOT NULL
    DROP TABLE dbo.pcvelka;
GO
-- The two version columns are compared with quoted decimal text ('12'); SQL Server converts it.
CREATE TABLE dbo.pcvelka (
    [車種]     nvarchar(16)  NOT NULL,
    [目前版本] int           NOT NULL,
    [下一版本] int           NULL,
    [檔名]     nvarchar(255) NULL,
    [檔案大小] int           NULL,
    CONSTRAINT PK_pcvelka PRIMARY KEY ([車種], [目前版本])
);
GO
GRANT SELECT ON dbo.pcvelka TO velkadb;
GO
INSERT INTO dbo.pcvelka VALUES
    (N'fen',  1, 2, N'fen_v1.exe',  1024),
    (N'fen',  2, 2, N'fen_v2.exe',  2048),
    (N'tarn', 1, 2, N'tarn_v1.exe', 1024),
    (N'tarn', 2, 2, N'tarn_v2.exe', 2048);
GO
